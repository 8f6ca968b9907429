#include "ostrel/hat/HatProtocolV3.hpp"
// HatProtocolV3 is complete in its header: it only changes the version and the set-up default.
