// `tidewell host`: the process that plays Outlook for the add-in on Linux. It opens the
// simulated Outlook store, loads the add-in library as Outlook loads an in-process COM
// server, and connects the add-in whenever the tray asks, until it is told to quit.

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "addin/message_box_hook.h"
#include "addin/registration.h"
#include "base/string_table.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/outlook_session.h"
#include "cli/tray_objects.h"
#include "platform/com/addin_interfaces.h"

namespace calendar_mirrow_addin::cli {

namespace {

constexpr char kUsage[] = "tidewell host [--store PATH] [--library PATH] [--stop]";
constexpr char kHelp[] =
    "Hosts the add-in over the simulated Outlook until it is told to quit; `tidewell sync`\n"
    "starts one when none runs. Ctrl-C or SIGTERM end it as --stop does.\n"
    "  --store PATH    the Outlook store (else $TIDEWELL_OUTLOOK_STORE, else outlook.sqlite\n"
    "                  in the application-data folder), held for the host's life\n"
    "  --library PATH  the add-in library (else $TIDEWELL_LIBRARY, else libtidewell.so\n"
    "                  next to this program or in the build tree's addin folder)\n"
    "  --stop          tell the running host to quit and wait until it has\n";

constexpr int32_t kStopWaitMs = 30000;

std::string LibraryPath(const Arguments& args) {
  if (auto path = args.Value("library")) return *path;
  if (const char* env = std::getenv("TIDEWELL_LIBRARY"); env != nullptr && *env != 0) return env;
  std::error_code error;
  const std::filesystem::path folder =
      std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
  const std::filesystem::path beside = folder / "libtidewell.so";
  const std::filesystem::path build_tree = folder.parent_path() / "addin" / "libtidewell.so";
  return (std::filesystem::exists(beside, error) || !std::filesystem::exists(build_tree, error)
              ? beside
              : build_tree)
      .string();
}

std::string HexCode(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

int Stop(TrayObjects& objects) {
  if (!IsHeldElsewhere(*objects.host)) return Failure("no tidewell host is running");
  objects.host_quit->Set();
  switch (objects.host->Acquire(kStopWaitMs)) {
    case platform::NamedMutex::Lock::kAcquired:
    case platform::NamedMutex::Lock::kAbandoned:
      objects.host->Release();
      return kExitOk;
    default:
      return Failure("the tidewell host did not end within 30 seconds");
  }
}

// What the library's message boxes reach: notices are shown on the host's error stream
// (the tray's, when the tray started the host), questions go to the tray.
struct MessageBoxContext {
  QuestionLink link;
};

int AnswerMessageBox(void* context, const wchar_t* text, const wchar_t* caption, int buttons) {
  const auto& link = static_cast<MessageBoxContext*>(context)->link;
  if (buttons != kHookButtonsYesNo) {
    std::cerr << "tidewell host: " << RenderMessage(std::wstring(caption) + L": " + text) << "\n";
    return kHookAnswerOk;
  }
  return AskTray(link, text, caption, platform::MessageBoxButtons::kYesNo) ==
                 platform::MessageBoxAnswer::kYes
             ? kHookAnswerYes
             : kHookAnswerNo;
}

// The add-in as Outlook gets it: the library loaded, its class object asked for the class
// id of the string table, the add-in object created.
struct LoadedAddin {
  ComRef<IClassFactory> factory;
  ComRef<_IDTExtensibility2> addin;
  SetMessageBoxHandlerEntry set_message_box_handler = nullptr;
};

bool LoadAddin(const std::string& path, TrayObjects& objects, LoadedAddin* loaded,
               std::string* error) {
  // Never closed: like Outlook, the host keeps a loaded add-in until it ends.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load the add-in library: " + std::string(reason != nullptr ? reason : path);
    return false;
  }
  using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);
  const auto get_class_object =
      reinterpret_cast<GetClassObject>(dlsym(library, "DllGetClassObject"));
  GUID class_id{};
  if (get_class_object == nullptr ||
      !ParseGuid(LoadResourceString(IDS_ADDIN_CLASS_ID), &class_id)) {
    *error = path + " is not the add-in library (no DllGetClassObject)";
    return false;
  }
  HRESULT hr = get_class_object(class_id, IID_IClassFactory, loaded->factory.PutVoid());
  if (FAILED(hr)) {
    // A failed load reports its reason in the message block where that exists.
    if (objects.message->Wait(0)) {
      std::cerr << RenderMessage(ReadSharedText(*objects.message_mutex, *objects.message_block))
                << "\n";
    }
    *error = "the add-in library did not load (DllGetClassObject: " + HexCode(hr) + ")";
    return false;
  }
  hr = loaded->factory->CreateInstance(nullptr, IID__IDTExtensibility2, loaded->addin.PutVoid());
  if (FAILED(hr)) {
    *error = "the add-in could not be created (" + HexCode(hr) + ")";
    return false;
  }
  loaded->set_message_box_handler =
      reinterpret_cast<SetMessageBoxHandlerEntry>(dlsym(library, kSetMessageBoxHandlerEntry));
  return true;
}

// Everything the host holds while it runs; released in the reverse order, the store last,
// so that a host that has released its mutex holds nothing else.
int Host(const Arguments& args, TrayObjects& objects) {
  OutlookApplication outlook;
  std::string error;
  if (!OpenOutlookApplication(args.Value("store"), &outlook, &error)) return Failure(error);
  LoadedAddin loaded;
  objects.message->Reset();  // only a message of this load may explain its failure
  if (!LoadAddin(LibraryPath(args), objects, &loaded, &error)) return Failure(error);

  std::atomic<bool> quitting{false};
  MessageBoxContext context{QuestionLink{objects.question_mutex.get(), objects.question_block.get(),
                                         objects.question_asked.get(), objects.answer_yes.get(),
                                         objects.answer_no.get(), objects.tray.get(), &quitting}};
  if (loaded.set_message_box_handler != nullptr) {
    loaded.set_message_box_handler(&AnswerMessageBox, &context);
  }

  objects.host_ready->Set();
  std::cerr << "tidewell host: ready (pid " << getpid() << ")\n";
  bool connected = false;
  platform::NamedEvent* const wake[] = {objects.host_quit.get(), objects.host_connect.get()};
  while (platform::WaitForAny(wake, platform::kWaitForever) == 1) {
    // Each connection serves one sync; a fresh one ends the previous (idle or done) worker.
    if (connected) loaded.addin->OnDisconnection(ext_dm_UserClosed, nullptr);
    const HRESULT hr = loaded.addin->OnConnection(outlook.application.get(), ext_cm_AfterStartup,
                                                  nullptr, nullptr);
    connected = SUCCEEDED(hr);
    if (!connected) std::cerr << "tidewell host: the add-in refused the connection\n";
  }

  // A sync still running is cancelled rather than waited for to the end, and a question
  // still open is answered No.
  quitting.store(true);
  objects.stop_sync->Set();
  if (connected) loaded.addin->OnDisconnection(ext_dm_HostShutdown, nullptr);
  if (loaded.set_message_box_handler != nullptr) loaded.set_message_box_handler(nullptr, nullptr);
  return kExitOk;
}

}  // namespace

int RunHost(const std::vector<std::string>& words) {
  static const OptionSpec kOptions[] = {{"store", true}, {"library", true}, {"stop", false}};
  Arguments args;
  if (auto done = ParseCommand(args, words, kOptions, kUsage, kHelp)) return *done;
  if (!args.positional().empty()) return UsageError("unexpected " + args.positional()[0], kUsage);
  if (args.Has("stop") && (args.Has("store") || args.Has("library"))) {
    return UsageError("--stop takes no other option", kUsage);
  }
  TrayObjects objects;
  std::string error;
  if (!objects.Open(&error)) return Failure("cannot open the shared objects: " + error);
  if (args.Has("stop")) return Stop(objects);

  switch (objects.host->Acquire(0)) {
    case platform::NamedMutex::Lock::kAcquired:
    case platform::NamedMutex::Lock::kAbandoned:
      break;
    case platform::NamedMutex::Lock::kTimeout:
      return Failure("another tidewell host is already running");
    case platform::NamedMutex::Lock::kFailed:
      return Failure("cannot take the host mutex");
  }
  // Requests left from a host that ended without reading them are not for this one.
  objects.host_quit->Reset();
  objects.host_connect->Reset();
  int status = kExitFailure;
  {
    // Before any other thread starts, so that all of them leave the signals to the watch.
    InterruptWatch watch([&objects] { objects.host_quit->Set(); });
    status = Host(args, objects);
  }
  objects.host->Release();
  return status;
}

}  // namespace calendar_mirrow_addin::cli
