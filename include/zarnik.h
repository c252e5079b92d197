// The render-engine library's interface as the extension uses it.
#pragma once

#include "zarnik/apitypes.h"
#include "zarnik/apinodes.h"
#include "zarnik/apiengine.h"
#include "zarnik/apigui.h"
