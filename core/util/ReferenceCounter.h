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

    // The event handler's delivery of one buffer, which adds nothing to the map unless a
    // receiver keeps the buffer. From Hold to Unhold the core holds `buffer` (owner 0x80000000;
    // a release event cannot drop this reference). Lend: `owner` holds it as well while its
    // Write or IOCTL call runs. Lent: the call returned; with `keep` the owner's reference
    // stays (unless it released the buffer meanwhile), else every reference of the owner to the
    // buffer goes. Unhold: the core's reference goes; true when none is left (the caller frees
    // the buffer). A null buffer is ignored (Unhold returns true).
    // REQUIRES: one buffer at a time, in the order Hold, then Lend/Lent pairs, then Unhold.
    void Hold(char* buffer);
    void Lend(char* buffer, unsigned long owner);
    void Lent(char* buffer, unsigned long owner, bool keep);
    bool Unhold(char* buffer);

  private:
    // Removes every (buffer, owner) entry; true when there was one. REQUIRES: mtxHolders held.
    bool EraseOwner(const char* buffer, uint32_t owner);

    std::multimap<const char*, uint32_t> mapHolders;
    // The buffer in delivery and the owner it is lent to (references outside the map).
    const char* pHeld = nullptr;
    uint32_t dwLentTo = 0;
    bool bLent = false;
    mutable std::mutex mtxHolders;
};
