#include "FuzzDevice.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "HostCore.h"
#include "Provision.h"

namespace fs = std::filesystem;

namespace fuzz {

namespace {

constexpr const char* PREFIX = "fuzz-device.";

// Scratch roots of runs that ended in a finding: an abort leaves no time to remove them.
void RemoveStaleRoots(const fs::path& base) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(base, ignored)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(PREFIX, 0) != 0)
            continue;
        long pid = strtol(name.c_str() + strlen(PREFIX), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            fs::remove_all(entry.path(), ignored);
    }
}

std::string MakeRoot() {
    fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    RemoveStaleRoots(base);
    std::string pattern = (base / (PREFIX + std::to_string(getpid()) + ".XXXXXX")).string();
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed: " + pattern);
    std::string root = pattern + "/root";
    setenv("TV_DEVICE_ROOT", root.c_str(), 1);
    setenv("TV_LOG_STDERR", "0", 1);
    std::string error;
    if (!tvhost::Provision(false, &error))
        throw std::runtime_error("provision: " + error);
    fs::remove_all(root + "/log");
    fs::remove(root + "/" + tvhost::ROOT_MARK);
    static std::string scratch = pattern;
    atexit([] {
        std::error_code ignored;
        fs::remove_all(scratch, ignored);
    });
    return root;
}

}  // namespace

const std::string& Device() {
    static const std::string root = MakeRoot();
    return root;
}

std::string DevicePath(const std::string& relative) {
    return Device() + "/" + relative;
}

void PutFile(const std::string& relative, const std::string& content) {
    std::string path = DevicePath(relative);
    std::string temporary = path + ".fuzz-new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
        Check(out.good(), "cannot write " + temporary);
    }
    Check(rename(temporary.c_str(), path.c_str()) == 0, "cannot rename to " + path);
}

bool GetFile(const std::string& relative, std::string* content) {
    std::ifstream in(DevicePath(relative), std::ios::binary);
    if (!in)
        return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string Bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

std::string CText(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    return std::string(text, strnlen(text, size));
}

void Check(bool holds, const std::string& what) {
    if (holds)
        return;
    fprintf(stderr, "fuzz: property does not hold: %s\n", what.c_str());
    abort();
}

}  // namespace fuzz
