#pragma once

#include <app_control.h>

class BrenwickMain {
  public:
    static int ServiceAppInit(int argc, char** argv);
    static bool OnCreate(void* data);
    static void OnTerminate(void* data);
    static void OnAppControlReceived(app_control_h appControl, void* data);
};
