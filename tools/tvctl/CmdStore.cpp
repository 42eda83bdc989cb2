// The store service's journal of calls.
#include "Commands.h"
#include "JournalPrint.h"

namespace tvctl {
namespace {

const char* const STORE_CALLS_USAGE = "store calls [-f]";

int StoreCalls(const Args& args) {
    return PrintJournal(args, "store.jsonl");
}

}  // namespace

TVCTL_COMMAND("store calls", STORE_CALLS_USAGE, "print the store journal (-f follows it)",
              StoreCalls);

}  // namespace tvctl
