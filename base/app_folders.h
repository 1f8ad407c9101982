#pragma once

#include <memory>
#include <string>

#include "base/logger.h"
#include "base/system_time.h"

namespace calendar_mirrow_addin {

// The product's application-data folder: the user's local application-data folder
// followed by "/Nexora/Tidewell/" (it ends in a separator). Empty when unknown.
std::wstring ApplicationDataFolder();

// Creates a folder and its missing parents, private to the user (the log and data folders
// hold the session parameter); true when it is a folder afterwards.
bool EnsureFolder(const std::wstring& path);

// Name of a load's log file: the UTC time as 20261205T210032Z followed by ".log". Fields
// out of range are written as they are; empty only if formatting fails.
std::wstring LogFileName(const SystemTime& utc);

// Deletes the oldest "*.log" files of the folder (ordinal name order) so that at most
// `keep` remain.
void PruneLogFiles(const std::wstring& logs_folder, size_t keep = 30);

// The logger of one library load: creates the "logs" folder under the application-data
// folder, prunes it, and names the file after the current time. Threshold INFO.
// Null when the folder cannot be created.
std::unique_ptr<Logger> CreateLoadLogger(const std::wstring& app_data_folder);

}  // namespace calendar_mirrow_addin
