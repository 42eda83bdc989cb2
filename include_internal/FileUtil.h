#pragma once

#include <json/json.h>

#include <cstddef>
#include <string>

// Owns a file descriptor and closes it on every path.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

  private:
    int m_fd;
};

// How a read or write of one of the service's own files ended. Units that log their own lines
// map it onto them; `error` is the errno behind a failure.
struct FileStatus {
    enum Stage {
        DONE,
        // Missing, a link, not a regular file, or the directory could not be used.
        NOT_OPENED,
        // Opened, but reading or writing failed (or the file is too large to be one of ours).
        FAILED,
    };
    Stage stage;
    int error;

    explicit operator bool() const { return stage == DONE; }
    std::string ErrorText() const;
};

class FileUtil {
  public:
    // Files the service reads are small; anything larger is not one of ours.
    static constexpr size_t MAX_FILE_SIZE = size_t{1024} * 1024;

    static bool ReadFile(const std::string& path, std::string& content);
    static bool LoadJson(const std::string& path, Json::Value& value);
    // Replaces the whole file: a crash never leaves it half written.
    static bool m_WriteStringToFile(const std::string& path, const std::string& content);
    // Where the television's absolute path lives on this device.
    static std::string DevicePath(const std::string& absolutePath);

    // Reads a whole regular file of at most `maxSize` bytes. A link at the name is not followed
    // and a FIFO or device never blocks the caller: both are refused like a file that cannot be
    // opened.
    static FileStatus ReadOwnFile(const std::string& path, std::string& content,
                                  size_t maxSize = MAX_FILE_SIZE);
    // Replaces the file durably: a unique temporary in the same directory, written, synced and
    // renamed over the name, then the directory synced. A link at the name or at the temporary
    // is never followed, and the temporary is gone again on every failure. Once renamed the
    // write is done: a directory that cannot be synced is only a warning in the log.
    static FileStatus WriteOwnFile(const std::string& path, const std::string& content);
    // Removes the name (a link itself, never what it points to) and makes the removal durable, as
    // far as the directory can be synced.
    static FileStatus RemoveOwnFile(const std::string& path);
    // Whether anything, a link included, has the name.
    static bool NameExists(const std::string& path);

  private:
    static bool m_ReadFileToString(const std::string& path, std::string& content);
};
