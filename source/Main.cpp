#include "BrenwickMain.h"
#include "Log.h"

int main(int argc, char** argv) {
    LOGI("Begin");
    int ret = BrenwickMain::ServiceAppInit(argc, argv);
    LOGI("ServiceAppInit => %d", ret);
    return ret;
}
