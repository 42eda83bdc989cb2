// The Home update test mode, switched by a hidden key and remembered across restarts in a flag
// file: while it is on, the progress and result of a priority update are shown on screen.
#pragma once

#include <string>

#include "Singleton.h"

class HiddenMode : public Singleton<HiddenMode> {
  public:
    enum MsgType : int {
        TEST_MODE_ON = 0,
        TEST_MODE_OFF = 1,
        COLD_BOOT = 2,
        UPDATING = 3,
        UPDATE_FAILED = 4,
        UPDATE_SUCCEEDED = 5,
    };

    HiddenMode();
    virtual ~HiddenMode();

    // Shows the message as a notification while the mode is on.
    void ShowMessage(MsgType type, const std::string& text);
    // Shows the last message of an update and switches the mode off; nothing while it is off.
    void FinishHiddenMode(MsgType type, const std::string& text);

    // Used by the hidden key's toggle.
    void m_EnableHiddenMode();
    void m_DisableHiddenMode();
    bool m_isHiddenMode;

  private:
    std::string m_fileName;
    std::string m_filePath;
};
