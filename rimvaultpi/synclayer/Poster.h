#pragma once
// How the plug-in's logic sends a document: a callable that prints and posts
// an XML document with the given routing flags, or one that posts a document
// already printed compactly.

#include <functional>
#include <string>

namespace tinyxml2 {
class XMLDocument;
}

namespace kivsvr::rimvault {

using Poster = std::function<void(const tinyxml2::XMLDocument&, unsigned long)>;
using TextPoster = std::function<void(const std::string&, unsigned long)>;

}  // namespace kivsvr::rimvault
