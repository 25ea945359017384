// The object count of the executable that links the host services. A test program that counts
// its own objects defines this itself, and the linker then leaves this file out.
#include "platform/com_object.h"

HALCY_DEFINE_COM_MODULE()
