#pragma once

// The result codes that failures travel as. They belong to the COM shapes of the platform
// seam; this header lets the layers above name them where they do not need COM otherwise.

#include "platform/com/hresult.h"
