// The application object: runs the main dialog and ends the program when it closes.
#pragma once

#include "manager/win32/framework.h"

class CHalvApp : public fw::Application {
  public:
    bool Start() override;
};
