#pragma once
// Who still holds each shared event buffer: one entry per (buffer, owner)
// reference. Owners are module identifiers (the core is 0x80000000).

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

class CReferenceCounter {
  public:
    // Outcome of dropping an owner's references.
    enum class EDrop {
        NotHeld,    // the owner held no reference: nothing removed
        StillHeld,  // removed; other references remain
        LastGone,   // removed the last references: the caller frees the buffer
    };

    // Adds one (buffer, owner) reference; a null buffer is ignored.
    void Increment(char* buffer, unsigned long owner);
    // Removes every reference of `owner` to `buffer`. True when no reference to
    // the buffer is left (also for a null buffer and for a buffer never counted).
    bool Decrement(char* buffer, unsigned long owner);
    // Removes every reference of `owner` to `buffer` and tells apart an owner
    // that held nothing, so that a stray release never frees a buffer.
    EDrop Drop(char* buffer, unsigned long owner);
    // Number of references to `buffer`, all owners.
    size_t Count(const char* buffer) const;
    // Number of buffers with at least one reference.
    size_t Buffers() const;
    // Forgets every reference; returns each buffer that had one, once.
    std::vector<char*> TakeAll();

  private:
    std::multimap<const char*, uint32_t> mapHolders;
    mutable std::mutex mtxHolders;
};
