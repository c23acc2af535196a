#include "sender/testpacket.h"
