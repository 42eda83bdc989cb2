// Counts the tries spent on one target Home version and group, in a file that outlives the
// service, and asks the store service to stop offering the version once the tries run out.
#pragma once

#include <string>

class Retry {
  public:
    explicit Retry(std::string fileName);
    virtual ~Retry() = default;

    void SetRetryInfo(std::string appId, std::string version, std::string targetGroupType,
                      int maxRetryCount);
    void IncreaseCount();
    // Gives up on the version at once (the user declined it).
    void Skip();
    void Clear();

    int GetTryCount() const { return m_tryCount; }
    int GetMaxCount() const { return m_maxCount; }
    const std::string& GetVersion() const { return m_version; }
    const std::string& GetTargetGroupType() const { return m_targetGroupType; }

  private:
    std::string m_FullPath() const;
    void m_Load();
    // Takes the target from a fourth line holding the whole version, when the third line
    // begins with it; false when it does not.
    bool m_SetWholeVersionTarget(const std::string& target, const std::string& wholeVersion);
    void m_Save();
    void m_SendAppControlToPAX();

    int m_tryCount = 0;
    int m_maxCount = 0;
    std::string m_fileName;
    std::string m_appId;
    std::string m_version = "0.0.0";
    std::string m_targetGroupType;
};
