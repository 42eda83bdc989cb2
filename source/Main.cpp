#include <malloc.h>

#include "BrenwickMain.h"
#include "Log.h"

int main(int argc, char** argv) {
    // The main loop and at most one app-detail worker at a time allocate here, and seldom at
    // once: the worker needs no arena of its own, which would keep what its transfer left after
    // the worker has ended.
    mallopt(M_ARENA_MAX, 1);
    LOGI("Begin");
    int ret = BrenwickMain::ServiceAppInit(argc, argv);
    LOGI("ServiceAppInit => %d", ret);
    return ret;
}
