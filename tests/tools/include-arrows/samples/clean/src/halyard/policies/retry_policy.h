#pragma once

#include "halyard/core/request.h"
