#pragma once

#include "halyard/policies/retry_policy.h"
#include "platform/net/url.h"
