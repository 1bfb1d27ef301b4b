#pragma once
// One conversion of a downloaded recording as a command: made from a conversion message, run at
// once on the calling thread (the plug-in's worker), destroyed right after. Destroying the
// command destroys its converter, which closes the converter's output file.

#include <exception>
#include <memory>
#include <utility>

#include "rimvaultpi/synclayer/ICommand.h"
#include "rimvaultpi/synclayer/Message.h"
#include "rimvaultpi/synclayer/Poster.h"

namespace kivsvr::rimvault {

// Converter: constructible from (const Message&, Poster) with `int parse()`, which returns
// 0 success, 1 failure or 3 aborted input.
template <typename Converter>
class VideoContainerConverterCommand : public ICommand {
  public:
    VideoContainerConverterCommand(const Message& message, Poster poster) {
        try {
            converter_ = std::make_unique<Converter>(message, std::move(poster));
        } catch (const std::exception&) {
            converter_.reset();  // execute() then answers 3
        }
    }

    // Runs the conversion to its end: its result, or 3 when no converter could be made. An
    // exception never leaves the command (it would end the worker thread): it counts as 1.
    int execute() override {
        if (!converter_) return 3;
        try {
            return converter_->parse();
        } catch (const std::exception&) {
            return 1;
        }
    }

    // A conversion, once started, runs to its end.
    int cancel() override { return 0; }

  private:
    std::unique_ptr<Converter> converter_;
};

}  // namespace kivsvr::rimvault
