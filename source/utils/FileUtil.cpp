#include "FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tv_path.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "Log.h"
#include "ParseUtil.h"

namespace {

constexpr size_t READ_CHUNK = size_t{16} * 1024;
// Every state file: the service's own user reads and writes it, others may read it (the shared
// trusted folder is there for other applications, the Home reset flag for the platform), no one
// else changes it. Set whole, so that the umask the service was started with changes nothing.
constexpr mode_t STATE_FILE_MODE = 0644;

FileStatus Done() {
    return {FileStatus::DONE, 0};
}

FileStatus NotOpened(int error) {
    return {FileStatus::NOT_OPENED, error};
}

FileStatus Failed(int error) {
    return {FileStatus::FAILED, error};
}

bool WriteAll(int fd, const std::string& content) {
    const char* next = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t written = write(fd, next, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        next += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

// The directory that holds `path`, opened without following a link at its own name (the
// service's directory replaced by a link is not used), and the base name within it.
int OpenParent(const std::string& path, std::string& name) {
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    if (directory.empty())
        directory = "/";
    name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.empty()) {
        errno = EISDIR;
        return -1;
    }
    return open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// mkstemp's way (a new name with a random suffix, created exclusively, never through a link),
// but relative to the directory's descriptor, so that a directory swapped for a link in the
// meantime is not followed either.
int CreateTemporary(int directory, const std::string& name, std::string& temporary) {
    static const char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<size_t> pick(0, sizeof(LETTERS) - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = name + ".";
        for (int i = 0; i < 6; ++i)
            temporary += LETTERS[pick(random)];
        int fd = openat(directory, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, STATE_FILE_MODE);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// The change under `path` is in place; syncing its directory makes it survive a power cut. A
// directory that cannot be synced (some file systems refuse) leaves that to the file system's own
// flush: the change is there to read, so it is done, and only the lost durability is told.
void SyncDirectory(int directory, const std::string& path) {
    if (fsync(directory) != 0)
        LOGW("%s changed, but not yet durably: %s", path.c_str(), strerror(errno));
}

// The temporary is written whole and synced before it takes the name, so that a power cut leaves
// the old file or the new one, never an empty one.
FileStatus ReplaceFromTemporary(int directory, const std::string& name,
                                const std::string& content) {
    std::string temporary;
    UniqueFd file(CreateTemporary(directory, name, temporary));
    if (!file)
        return NotOpened(errno);
    bool written = fchmod(file.Get(), STATE_FILE_MODE) == 0 && WriteAll(file.Get(), content) &&
                   fsync(file.Get()) == 0;
    if (!written || renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
        int error = errno;
        unlinkat(directory, temporary.c_str(), 0);
        return Failed(error);
    }
    return Done();
}

}  // namespace

UniqueFd::~UniqueFd() {
    if (m_fd >= 0)
        close(m_fd);
}

std::string FileStatus::ErrorText() const {
    return strerror(error);
}

FileStatus FileUtil::ReadOwnFile(const std::string& path, std::string& content, size_t maxSize) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return NotOpened(errno);
    struct stat info;
    if (fstat(fd.Get(), &info) != 0)
        return Failed(errno);
    if (!S_ISREG(info.st_mode))
        return NotOpened(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    // The size is checked again while reading: the file may grow after the fstat.
    if (static_cast<unsigned long long>(info.st_size) > maxSize)
        return Failed(EFBIG);
    std::string text;
    text.reserve(static_cast<size_t>(info.st_size));
    char buffer[READ_CHUNK];
    for (;;) {
        ssize_t got = read(fd.Get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Failed(errno);
        if (got == 0)
            break;
        if (text.size() + static_cast<size_t>(got) > maxSize)
            return Failed(EFBIG);
        text.append(buffer, static_cast<size_t>(got));
    }
    content = std::move(text);
    return Done();
}

FileStatus FileUtil::WriteOwnFile(const std::string& path, const std::string& content) {
    std::string name;
    UniqueFd directory(OpenParent(path, name));
    if (!directory)
        return NotOpened(errno);
    FileStatus status = ReplaceFromTemporary(directory.Get(), name, content);
    if (status)
        SyncDirectory(directory.Get(), path);
    return status;
}

FileStatus FileUtil::RemoveOwnFile(const std::string& path) {
    std::string name;
    UniqueFd directory(OpenParent(path, name));
    if (!directory)
        return NotOpened(errno);
    if (unlinkat(directory.Get(), name.c_str(), 0) != 0)
        return Failed(errno);
    SyncDirectory(directory.Get(), path);
    return Done();
}

bool FileUtil::NameExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool FileUtil::m_ReadFileToString(const std::string& path, std::string& content) {
    FileStatus status = ReadOwnFile(path, content);
    if (status.stage == FileStatus::NOT_OPENED)
        return false;
    if (!status) {
        LOGE("Failed to read file");
        return false;
    }
    return true;
}

bool FileUtil::ReadFile(const std::string& path, std::string& content) {
    return m_ReadFileToString(path, content);
}

bool FileUtil::LoadJson(const std::string& path, Json::Value& value) {
    std::string text;
    if (!m_ReadFileToString(path, text)) {
        LOGE("Failed to load file %s", path.c_str());
        return false;
    }
    std::string error;
    return ParseUtil::ParseJsonFromString(text, value, error);
}

bool FileUtil::m_WriteStringToFile(const std::string& path, const std::string& content) {
    FileStatus status = WriteOwnFile(path, content);
    if (status.stage == FileStatus::NOT_OPENED) {
        LOGE("Failed to open file for writing: %s", path.c_str());
        return false;
    }
    if (!status) {
        LOGE("Failed to write to file: %s", path.c_str());
        return false;
    }
    return true;
}

std::string FileUtil::DevicePath(const std::string& absolutePath) {
    std::unique_ptr<char, decltype(&free)> path(tv_path_get(absolutePath.c_str()), &free);
    return path ? path.get() : absolutePath;
}
