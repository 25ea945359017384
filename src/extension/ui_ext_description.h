// The browser's description of one extension's UI extension points: an object that the module
// creates through the object factory (Util::Com::CreateObjectByIID with IUIExtDescription's IID),
// fills with the extension id and one entry per point, and hands to the UI extension-point
// manager. The interface is declared once, beside the manager that reads it.
//
// The object is the browser's; its thread-safety is the browser's business. The module fills
// one description on one thread and then gives it away.
#pragma once

#include "extension/ui_ext_pt_mgr.h"
