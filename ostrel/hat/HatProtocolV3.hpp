#pragma once
// Protocol version 3: version 2 without the replay of stored link states at set-up.
#include "ostrel/hat/HatProtocolV2.hpp"
