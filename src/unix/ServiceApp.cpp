// CServiceApp: the Unix host under the name clients derive from.
#include "ServiceApp.h"

CServiceApp::CServiceApp() = default;
CServiceApp::~CServiceApp() = default;
