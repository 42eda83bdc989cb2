#pragma once

#include <json/json.h>

#include <string>

class FileUtil {
  public:
    static bool ReadFile(std::string path, std::string& content);
    static bool LoadJson(const std::string& path, Json::Value& value);
    // Replaces the whole file: a crash never leaves it half written.
    static bool m_WriteStringToFile(const std::string& path, const std::string& content);
    // Where the television's absolute path lives on this device.
    static std::string DevicePath(const std::string& absolutePath);

  private:
    static bool m_ReadFileToString(std::string path, std::string& content);
};
