// The store service's journal of calls.
#include "Commands.h"
#include "ConsoleUtil.h"
#include "JournalPrint.h"

namespace tvctl {
namespace {

const char* const STORE_CALLS_USAGE = "store calls [-f]";

int StoreCalls(const Args& args) {
    bool follow = false;
    if (!ParseFollow(args, &follow))
        return Usage(STORE_CALLS_USAGE);
    PrintJournal("store.jsonl", follow);
    return EXIT_DONE;
}

}  // namespace

TVCTL_COMMAND("store calls", STORE_CALLS_USAGE, "print the store journal (-f follows it)",
              StoreCalls);

}  // namespace tvctl
