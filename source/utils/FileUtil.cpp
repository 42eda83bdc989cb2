#include "FileUtil.h"

#include <tv_path.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "Log.h"
#include "ParseUtil.h"

bool FileUtil::m_ReadFileToString(std::string path, std::string& content) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file.is_open())
        return false;
    std::streamoff size = file.tellg();
    if (size < 0) {
        LOGE("Failed to read file");
        return false;
    }
    file.seekg(0, std::ios::beg);
    content.resize(static_cast<size_t>(size));
    file.read(&content[0], size);
    if (file.fail() || file.bad()) {
        LOGE("Failed to read file");
        return false;
    }
    return true;
}

bool FileUtil::ReadFile(std::string path, std::string& content) {
    return m_ReadFileToString(std::move(path), content);
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
    // Written beside the target and renamed over it, so readers see the old or the new file.
    std::string temporary = path + ".tmp";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
        LOGE("Failed to open file for writing: %s", path.c_str());
        return false;
    }
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    file.close();
    if (!file.good() || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        LOGE("Failed to write to file: %s", path.c_str());
        return false;
    }
    return true;
}

std::string FileUtil::DevicePath(const std::string& absolutePath) {
    std::unique_ptr<char, decltype(&free)> path(tv_path_get(absolutePath.c_str()), &free);
    return path ? path.get() : absolutePath;
}
