// A settings key's file as the host device reads it ("s:TEXT", "i:N"): any bytes. A value read is
// what the file holds, written back the same bytes; a string value stored is read back unchanged.
#include <climits>
#include <string>

#include "FuzzDevice.h"
#include "VconfInternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Device();
    std::string content = fuzz::Bytes(data, size);
    tvhost::KeyValue value = tvhost::ParseKeyFile(content);
    switch (value.type) {
        case 's':
            fuzz::Check(!value.malformed && "s:" + value.str == content, "a string is the rest");
            break;
        case 'i':
            fuzz::Check(!value.malformed && "i:" + std::to_string(value.num) == content,
                        "an int is written back as the same bytes");
            break;
        default:
            fuzz::Check(value.malformed && content.compare(0, 2, "s:") != 0,
                        "a file is malformed only when it is neither");
    }
    tvhost::KeyValue again = tvhost::ParseKeyFile(content);
    fuzz::Check(again.type == value.type && again.str == value.str && again.num == value.num,
                "the same file gives the same value twice");

    // Through the store's own files: what is stored is read back.
    fuzz::Check(tvhost::StoreKey("fuzz/key", 's', content), "a string can be stored");
    tvhost::KeyValue stored = tvhost::ReadKey("fuzz/key");
    fuzz::Check(stored.type == 's' && stored.str == content, "a string stored is read back");
    return 0;
}
