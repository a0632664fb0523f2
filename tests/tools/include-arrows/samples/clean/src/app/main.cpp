#include "halyard/policies/retry_policy.h"
