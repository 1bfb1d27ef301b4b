#pragma once
// How the plug-in's logic sends a document: a callable that prints and posts
// an XML document with the given routing flags.

#include <functional>

namespace tinyxml2 {
class XMLDocument;
}

namespace kivsvr::rimvault {

using Poster = std::function<void(const tinyxml2::XMLDocument&, unsigned long)>;

}  // namespace kivsvr::rimvault
