// A language file of the current menu language (any bytes), the texts looked up in it and the
// test mode's messages that fill "<<A>>" with a version. A lookup gives the same text from the
// loaded table as from a fresh load; a message holds the version where the text had "<<A>>".
#include "Constants.h"
#include "FuzzDevice.h"
#include "LocaleTextUtil.h"
#include "NotifyHiddenMode.h"

namespace {

const std::string FILE_PATH = std::string("fs") + LANGUAGE_DIR + "en_US.json";
constexpr const char* PLACEHOLDER = "<<A>>";
constexpr const char* SUCCEEDED_ID = "COM_MIX_SOFTWARE_UPDATED_VERSION";
const char* const IDS[] = {
    "COM_UPDATE_LATER",
    "COM_TV_SID_UPDATE_NOW",
    "COM_SID_DETAILS",
    "COM_UPDATE_LATER_PRODUCT_BE_UPDATED_AUTOMATICALLY_MSG",
    SUCCEEDED_ID,
    "COM_SID_MC_MIX_CDDEC_IS_UPDATING_PLEASE_WAIT_UNTIL_THE_UPDATE_IS_COMPLETE",
    "COM_SID_HOME_M_MAIN",
    "TV_SID_FAILED_UPDATE",
};

// As the menu language changing does: the next lookup reads the file.
void ForgetTable() {
    LocaleTextParser::m_CBVconfLocaleText(nullptr, Singleton<LocaleTextParser>::GetInstance());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    fuzz::PutFile(FILE_PATH, fuzz::Bytes(data, size));
    ForgetTable();
    std::vector<std::string> texts;
    for (const char* id : IDS) {
        texts.push_back(LocaleTextUtil::GetLocalizedText(id));
        fuzz::Check(LocaleTextUtil::GetLocalizedText(id) == texts.back(),
                    "a lookup gives the same text twice");
    }
    // The version itself holds the placeholder: it is filled in once, not again and again.
    const std::string version = std::string("2.0.0") + PLACEHOLDER;
    std::string message = NotifyHiddenMode::m_GetContent(HiddenMode::UPDATE_SUCCEEDED, version);
    const std::string& text = texts[4];
    size_t at = text.find(PLACEHOLDER);
    if (text.empty()) {
        fuzz::Check(message.find(version) != std::string::npos, "no text: the English default");
    } else if (at == std::string::npos) {
        fuzz::Check(message == text, "a text without the placeholder is shown as it is");
    } else {
        fuzz::Check(message.size() == text.size() - 5 + version.size() &&
                        message.compare(at, version.size(), version) == 0 &&
                        message.compare(0, at, text, 0, at) == 0,
                    "the first placeholder, and only it, holds the version");
    }
    for (auto type : {HiddenMode::UPDATING, HiddenMode::UPDATE_FAILED}) {
        std::string content = NotifyHiddenMode::m_GetContent(type, version);
        fuzz::Check(content.find(version) != std::string::npos, "the message ends in its text");
    }
    ForgetTable();
    for (size_t i = 0; i < texts.size(); ++i) {
        fuzz::Check(LocaleTextUtil::GetLocalizedText(IDS[i]) == texts[i],
                    "a fresh load gives the same text");
    }
    return 0;
}
