#pragma once

#include "platform/foundation/error.h"
