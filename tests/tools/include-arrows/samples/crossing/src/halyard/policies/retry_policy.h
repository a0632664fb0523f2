#pragma once

#include "halyard/core/request.h"
#include "../core/request.h"
