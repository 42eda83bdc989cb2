// The reset flag file: any bytes there at start, and the television's three reset counters
// (the input's first 12 bytes). Whatever the file held, a reset that one start found and handled
// is not found again at the next start: the counts it saved read back as saved.
#include <vconf.h>

#include <cstring>

#include "Constants.h"
#include "FuzzDevice.h"
#include "PlatformKeys.h"
#include "ResetManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string FLAG_PATH = std::string("fs") + TRUSTED_DIR + ".resetflag";
    fuzz::Device();
    int32_t counters[3] = {0, 0, 0};
    size_t taken = std::min(size, sizeof counters);
    memcpy(counters, data, taken);
    vconf_set_int(keys::FACTORY_RESET_COUNT, counters[0]);
    vconf_set_int(keys::SERVICE_RESET_COUNT, counters[1]);
    vconf_set_int(keys::PORTAL_RESET_COUNT, counters[2]);
    fuzz::PutFile(FLAG_PATH, fuzz::Bytes(data + taken, size - taken));
    {
        ResetManager first;
        if (first.IsReset())
            first.DoReset();
    }
    ResetManager second;
    fuzz::Check(!second.IsReset(), "a reset handled at one start is not found at the next");
    return 0;
}
