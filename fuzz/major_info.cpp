// The major file information: any bytes given to `tvctl store major-info FILE`, handed to the
// service by the store's pax_get_major_file_info and read by its target Home version. The service
// gets the bytes given or a failed call, never other text; a target it takes is the JSON's, the
// same twice.
#include <json/json.h>

#include <cstdio>
#include <memory>

#include "Commands.h"
#include "FuzzDevice.h"
#include "TriggerHomeVersion.h"

namespace {

const tvctl::Command& MajorInfoCommand() {
    for (const auto& command : tvctl::AllCommands()) {
        if (command.name == "store major-info")
            return command;
    }
    fuzz::Check(false, "the console has its store major-info command");
    abort();
}

struct Target {
    std::string response, id, version, group;
    int maximum;
    bool operator==(const Target& other) const {
        return response == other.response && id == other.id && version == other.version &&
               group == other.group && maximum == other.maximum;
    }
};

Target Fetch() {
    TriggerHomeVersion* target = Singleton<TriggerHomeVersion>::GetInstance();
    target->Update();
    return {target->GetResponse(), target->GetAppId(), target->GetVersion(),
            target->GetTargetGroupType(), target->GetMaxRetryCount()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const tvctl::Command& command = [&]() -> const tvctl::Command& {
        fuzz::Device();
        // The command says what it did on standard output, millions of times.
        fuzz::Check(freopen("/dev/null", "w", stdout) != nullptr, "standard output is quiet");
        return MajorInfoCommand();
    }();
    std::string text = fuzz::Bytes(data, size);
    fuzz::PutFile("major-info-input", text);
    fuzz::Check(tvctl::RunCommand(command, {fuzz::DevicePath("major-info-input")}) == 0,
                "the console takes any bytes");

    Target got = Fetch();
    fuzz::Check(got.response == text || got.response.empty(),
                "the service gets the bytes given or nothing");
    if (got.id.empty() && got.version.empty() && got.group.empty()) {
        fuzz::Check(got.maximum == 0, "a target not taken leaves the count at 0");
    } else {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value info;
        fuzz::Check(reader->parse(text.data(), text.data() + text.size(), &info, nullptr) &&
                        info.isObject(),
                    "a target taken is a JSON object");
        std::string group = info["targetGroupType"].asString();
        fuzz::Check(got.id == info["id"].asString() && got.version == info["version"].asString() &&
                        got.group == (group.empty() ? "normal" : group) &&
                        got.maximum == info.get("maxRetryCount", 0).asInt(),
                    "a target taken is the JSON's, an empty group read as \"normal\"");
    }
    fuzz::Check(Fetch() == got, "the same information gives the same target twice");
    return 0;
}
