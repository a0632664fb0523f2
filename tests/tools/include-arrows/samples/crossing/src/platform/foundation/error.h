#pragma once

#include <string>

#include "platform/dispatch/queue.h"
