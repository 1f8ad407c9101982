#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace calendar_mirrow_addin {

// The process-wide diagnostic log: leveled lines, indented by nested blocks, appended to
// one file per library load. The file is opened and closed for every entry so that
// everything logged is on disk even if the process dies.
class Logger {
 public:
  enum Level : int32_t { VERBOSE = 0, PROGRESS = 1, INFO = 2, SEVERE = 3, NONE = 4 };

  // Brackets a scope with an opening "name {" and a closing "} //name" line and indents
  // everything logged in between. A null logger makes the block do nothing.
  class Block {
   public:
    Block(Logger* logger, std::wstring name, int32_t level = VERBOSE);
    virtual ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

   private:
    std::wstring name_;
    Logger* logger_;
    int32_t level_;
  };

  Logger(int32_t threshold, std::wstring log_folder, std::wstring file_name);

  // Re-reads the threshold from ".level" (else "level.txt") in the log folder.
  void LoadLevel();
  // Threshold NONE silences everything, a line logged at level NONE included.
  bool IsLoggable(int32_t level) const { return threshold_ < NONE && level >= threshold_; }
  void Log(int32_t level, const std::wstring& text);
  void Log(const std::wstring& text) { Log(INFO, text); }

  int32_t threshold() const { return threshold_; }
  const std::wstring& log_folder() const { return log_folder_; }
  const std::wstring& file_name() const { return file_name_; }
  // Path of this load's log file: the folder, "/" and the file name.
  std::wstring FilePath() const;

 private:
  friend class Block;

  std::wstring log_folder_;
  std::wstring file_name_;
  int32_t threshold_;
  std::wstring indent_;
};

// The process-wide logger; null when it could not be created (callers then skip logging).
Logger* GetLogger();
// Installs the process-wide logger and returns the previous one. The library load
// installs it once; tests install their own.
std::unique_ptr<Logger> SetLogger(std::unique_ptr<Logger> logger);

// Logs through the process-wide logger when there is one.
void Log(int32_t level, const std::wstring& text);
inline void LogInfo(const std::wstring& text) { Log(Logger::INFO, text); }
inline void LogSevere(const std::wstring& text) { Log(Logger::SEVERE, text); }
inline void LogVerbose(const std::wstring& text) { Log(Logger::VERBOSE, text); }

// A block on the process-wide logger (nothing when there is none).
class LogBlock : public Logger::Block {
 public:
  explicit LogBlock(std::wstring name, int32_t level = Logger::VERBOSE)
      : Logger::Block(GetLogger(), std::move(name), level) {}
};

}  // namespace calendar_mirrow_addin
