// The Home installed now: its version and whether it is an A/B-test build.
#pragma once

#include <string>

class CurrentHomeVersion {
  public:
    CurrentHomeVersion();

    // Read again when the first read found nothing.
    std::string GetHomePackageVersion();
    std::string GetTargetGroupType();

    // The flag file that marks the installed Home as an A/B-test build.
    static void CreateABTest(const std::string& content);
    static void DeleteABTest();

  private:
    void m_SetHomePackageVersion();
    void m_SetTargetGroupType();

    std::string m_homePackageVersion;
    std::string m_targetGroupType;
};
