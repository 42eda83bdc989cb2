// The retry counter's file: what the service makes of any bytes there at start, and whether the
// file it then saves reads back as the state it saved, its bytes the same at the next save.
#include "Constants.h"
#include "FuzzDevice.h"
#include "Retry.h"

namespace {

const std::string FILE_PATH = std::string("fs") + DATA_DIR + FILE_NAME_REQUEST_RETRY;

struct State {
    int count;
    int maximum;
    std::string version;
    std::string group;
    bool operator==(const State& other) const {
        return count == other.count && maximum == other.maximum && version == other.version &&
               group == other.group;
    }
};

State Of(const Retry& retry) {
    return {retry.GetTryCount(), retry.GetMaxCount(), retry.GetVersion(),
            retry.GetTargetGroupType()};
}

// Clear() saves: the count goes to 0, the rest stays as loaded.
std::string SavedAfterClear(Retry& retry) {
    retry.Clear();
    std::string saved;
    fuzz::Check(fuzz::GetFile(FILE_PATH, &saved), "Clear() saves the file");
    return saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    fuzz::PutFile(FILE_PATH, fuzz::Bytes(data, size));
    Retry loaded(FILE_NAME_REQUEST_RETRY);
    std::string saved = SavedAfterClear(loaded);

    Retry reloaded(FILE_NAME_REQUEST_RETRY);
    State expected = Of(loaded);
    // The file has no way to say "no group": an empty one reads back as the ordinary Home's.
    if (expected.group.empty())
        expected.group = "normal";
    fuzz::Check(Of(reloaded) == expected, "the saved file reads back as the state saved");
    std::string savedAgain = SavedAfterClear(reloaded);
    fuzz::Check(loaded.GetTargetGroupType().empty() || savedAgain == saved,
                "saving what was read from a saved file gives the same bytes");
    return 0;
}
