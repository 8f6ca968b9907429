#pragma once
// Protocol version 3: version 2 without the replay of stored link states at set-up.
#include "ostrel/protocol/HatProtocolV2.hpp"
