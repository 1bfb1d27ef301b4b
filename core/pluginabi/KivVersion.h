#pragma once
// The build version reported by both deliverables.

namespace kiv {

inline const char* GetVersion() { return "3.2.7.40511"; }

}  // namespace kiv
