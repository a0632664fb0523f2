#include "platform/display/capture.h"
#include "platform/display/x11/connection.h"
