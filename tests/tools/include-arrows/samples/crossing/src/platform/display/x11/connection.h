#pragma once

#include "platform/display/capture.h"
