// Placeholder: the stream thread is being written.
#include "sender/udpsenderthread.h"
UdpSenderThread::~UdpSenderThread() = default;
void UdpSenderThread::run() {}
