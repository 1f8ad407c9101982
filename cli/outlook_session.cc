#include "cli/outlook_session.h"

#include <cstdlib>

#include "base/app_folders.h"
#include "base/text.h"
#include "sim/outlook/object_model.h"

namespace calendar_mirrow_addin::cli {

namespace {

std::string StorePath(const std::optional<std::string>& store_option) {
  if (store_option) return *store_option;
  if (const char* env = std::getenv("TIDEWELL_OUTLOOK_STORE"); env != nullptr && *env != 0)
    return env;
  const std::wstring folder = ApplicationDataFolder();
  if (folder.empty() || !EnsureFolder(folder)) return std::string();
  return WideToUtf8(folder) + "outlook.sqlite";
}

}  // namespace

bool OpenOutlookApplication(const std::optional<std::string>& store_option,
                            OutlookApplication* outlook, std::string* error) {
  const std::string path = StorePath(store_option);
  if (path.empty()) {
    *error = "the application-data folder is unknown (set HOME or give --store)";
    return false;
  }
  std::string why;
  outlook->store = sim::Store::Open(path, &why);
  if (!outlook->store) {
    if (why.rfind("the store is in use", 0) == 0) {
      *error = "the store is in use (is `tidewell host` running?)";
    } else {
      *error = "cannot open the Outlook store " + path + ": " + why;
    }
    return false;
  }
  outlook->application = ComRef<IDispatch>(sim::NewApplication(outlook->store));
  return true;
}

}  // namespace calendar_mirrow_addin::cli
