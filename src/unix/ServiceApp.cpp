// CServiceApp: the Unix host under the name clients derive from.
// SPDX-License-Identifier: MIT
#include "ServiceApp.h"

CServiceApp::CServiceApp() = default;
CServiceApp::~CServiceApp() = default;
