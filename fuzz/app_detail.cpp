// The app detail as the server sends it, which the service keeps byte for byte in its cache file
// and reads back with the same rules at every start: any bytes in that file. A kept cache is an
// answer whose "rsp"."stat" is "ok", gives its description for its version, and is kept again
// at the next start; any other (one without a description among them) is deleted.
#include <json/json.h>

#include <memory>

#include "AppDetail.h"
#include "Constants.h"
#include "FuzzDevice.h"

namespace {

const std::string CACHE_PATH = std::string("fs") + TRUSTED_DIR + "appDetail";

// The member as a string when it is one.
bool StringMember(const Json::Value& object, const char* name, std::string* text) {
    if (!object.isObject() || !object[name].isString())
        return false;
    *text = object[name].asString();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    std::string text = fuzz::Bytes(data, size);
    fuzz::PutFile(CACHE_PATH, text);
    std::string kept;
    std::unique_ptr<AppDetail> first = std::make_unique<AppDetail>();
    if (!fuzz::GetFile(CACHE_PATH, &kept))
        return 0;
    fuzz::Check(kept == text, "a kept cache is left as it was");

    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value answer;
    fuzz::Check(reader->parse(text.data(), text.data() + text.size(), &answer, nullptr),
                "a kept cache is JSON");
    std::string stat, version, description;
    fuzz::Check(StringMember(answer["rsp"], "stat", &stat) && stat == "ok",
                "a kept cache says \"ok\"");
    const Json::Value& app = answer["rsp"]["app"];
    fuzz::Check(app.isObject() && app.isMember("description"), "a kept cache has a description");
    if (StringMember(app, "version", &version) && StringMember(app, "description", &description))
        fuzz::Check(first->GetDescription(version) == (version.empty() ? "" : description),
                    "a kept cache gives its description for its version");

    AppDetail second;
    fuzz::Check(fuzz::GetFile(CACHE_PATH, &kept), "a cache kept at one start is kept at the next");
    fuzz::Check(second.GetDescription(version) == first->GetDescription(version),
                "the same cache gives the same description twice");
    return 0;
}
