#pragma once

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
