#pragma once

class QXmlStreamReader;

// A component that the test manager drives. Called on the GUI thread with the reader on the
// start element of the signal it is registered for and *handled false. A handler that reads past
// the start element sets *handled and leaves the reader on the last token it read. Failures throw.
class ISignalHandler
{
public:
    virtual ~ISignalHandler() = default;
    virtual void HandleSignal(QXmlStreamReader* reader, bool* handled) = 0;
};
