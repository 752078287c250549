/* USB client library declarations. The driver builds its URBs field by field,
   so this header only brings in the USB definitions it relies on. */
#pragma once

#include <usb.h>
