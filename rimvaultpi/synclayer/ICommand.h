#pragma once
// A unit of work run by the plug-in's worker: the sync layer itself and the
// conversion of one downloaded recording.

namespace kivsvr::rimvault {

class ICommand {
public:
    virtual ~ICommand() = default;
    virtual int execute() = 0;
    virtual int cancel() = 0;
};

}  // namespace kivsvr::rimvault
