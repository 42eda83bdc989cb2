#include "HiddenMode.h"

#include <exception>

#include "Constants.h"
#include "FileUtil.h"
#include "Log.h"
#include "NotifyHiddenMode.h"

HiddenMode::HiddenMode()
    : m_isHiddenMode(false),
      m_fileName("hidden_mode"),
      m_filePath(FileUtil::DevicePath(DATA_DIR + m_fileName)) {
    m_isHiddenMode = FileUtil::NameExists(m_filePath);
    LOGE("m_isHiddenMode: %d", m_isHiddenMode ? 1 : 0);
}

// The flag file stays: the mode holds across restarts until it is switched off.
HiddenMode::~HiddenMode() = default;

void HiddenMode::ShowMessage(MsgType type, const std::string& text) {
    if (!m_isHiddenMode)
        return;
    NotifyHiddenMode::ShowNotification(type, text);
}

void HiddenMode::FinishHiddenMode(MsgType type, const std::string& text) {
    if (!m_isHiddenMode)
        return;
    ShowMessage(type, text);
    m_DisableHiddenMode();
}

void HiddenMode::m_EnableHiddenMode() {
    try {
        // A flag file that cannot be created still turns the mode on until the next restart. It is
        // written as a new file, never through a link in its place.
        FileUtil::WriteOwnFile(m_filePath, "");
        m_isHiddenMode = true;
        LOGE("Done");
        NotifyHiddenMode::ShowToastPopup(TEST_MODE_ON, "");
    } catch (const std::exception& e) {
        LOGE("Failed to create %s. %s", m_fileName.c_str(), e.what());
    }
}

void HiddenMode::m_DisableHiddenMode() {
    // Without its file removed the mode would come back on at the next start, so it stays on.
    // The removal is made durable before the toast says the mode is off: a power cut must not
    // bring it back.
    if (!FileUtil::RemoveOwnFile(m_filePath)) {
        LOGE("Fail to remove [%s]", m_filePath.c_str());
        return;
    }
    m_isHiddenMode = false;
    LOGE("Done");
    NotifyHiddenMode::ShowToastPopup(TEST_MODE_OFF, "");
}
