#pragma once

#include "platform/net/url.h"
