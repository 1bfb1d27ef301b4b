#pragma once
// One entry per parser of untrusted bytes. Each takes arbitrary bytes, runs the parser over them
// the way the plug-in would, and aborts when a property that must hold for every input fails
// (the sanitizers report memory and undefined-behaviour faults on their own). Each returns 0.
//
// The libFuzzer executables call one entry each; the corpus replay test calls all of them on
// the committed corpora in every normal build.

#include <cstddef>
#include <cstdint>

namespace kivfuzz {

// The fuzzed bytes as a downloaded MP4 file: box walk and conversion into a PS recording under
// a scratch output root, then the recording is read back.
int Mp4Conversion(const uint8_t* data, size_t size);

// The fuzzed bytes as a routed XML document given to the translator's ParseEvent, with a sink
// that records every call.
int TranslatorParseEvent(const uint8_t* data, size_t size);

// The fuzzed bytes as the state file: read, and when it is accepted, written back and read again.
int StateFileRead(const uint8_t* data, size_t size);

// The fuzzed bytes as a PS recording (see PSReaderFuzz.cpp for how they are split into a media
// and an index file): open, file and channel information, every packet, clips.
int PSReader(const uint8_t* data, size_t size);

}  // namespace kivfuzz
