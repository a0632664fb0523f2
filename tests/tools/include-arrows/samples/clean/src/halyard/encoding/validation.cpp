#include "halyard/core/request.h"
#include "wayland-glue-protocol.h"
