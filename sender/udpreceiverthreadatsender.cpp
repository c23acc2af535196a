// Placeholder: the receiver at sender is being written.
#include "sender/udpreceiverthreadatsender.h"
UdpReceiverThreadAtSender::~UdpReceiverThreadAtSender() = default;
void UdpReceiverThreadAtSender::run() {}
