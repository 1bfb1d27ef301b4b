#include "rimvaultpi/kivserverimpl/PlainXml.h"

#include <cstring>

namespace rimvault {

namespace {

// The XML library's white space, name and name-start characters, restricted to the ASCII the
// reader takes: the library's definitions depend on the locale only beyond it.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool IsNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

// Printable ASCII, tab and line feed, but no "&": nothing the library would translate (entity
// references, carriage returns) and nothing it would read by the locale.
bool Allowed(unsigned char c) {
    return (c >= 0x20 && c < 0x7F && c != '&') || c == '\t' || c == '\n';
}

char* SkipSpace(char* p, const char* end) {
    while (p != end && IsSpace(*p)) ++p;
    return p;
}

char* SkipName(char* p, const char* end) {
    while (p != end && IsNameChar(*p)) ++p;
    return p;
}

bool SameText(const char* a, size_t aLength, const char* b, size_t bLength) {
    return aLength == bLength && std::memcmp(a, b, aLength) == 0;
}

}  // namespace

bool PlainXmlDocument::Parse(const char* text, size_t length) {
    elements.clear();
    attributes.clear();
    open.clear();
    for (size_t i = 0; i < length; ++i) {
        if (!Allowed(static_cast<unsigned char>(text[i]))) return false;
    }
    buffer.assign(text, text + length);
    buffer.push_back('\0');
    char* p = buffer.data();
    char* const end = p + length;

    p = SkipSpace(p, end);
    // A declaration may come first; the library reads it up to the first "?>".
    if (end - p >= 2 && p[0] == '<' && p[1] == '?') {
        char* close = p + 2;
        while (end - close >= 2 && !(close[0] == '?' && close[1] == '>')) ++close;
        if (end - close < 2) return false;
        p = SkipSpace(close + 2, end);
    }
    if (!ParseElements(p, end)) {
        elements.clear();
        attributes.clear();
        return false;
    }
    // Names and values become C strings: each ends at a delimiter of its own.
    for (Element& element : elements) element.name[element.nameLength] = '\0';
    for (Attribute& attribute : attributes) {
        attribute.name[attribute.nameLength] = '\0';
        attribute.value[attribute.valueLength] = '\0';
    }
    return true;
}

bool PlainXmlDocument::ParseElements(char* p, char* const end) {
    bool rootDone = false;
    while (p != end) {
        // Only tags: text, or anything after the root, is left to the library.
        if (*p != '<' || rootDone) return false;
        ++p;
        if (p != end && *p == '/') {
            // "</name>" closing the innermost open element.
            char* name = ++p;
            p = SkipName(p, end);
            if (p == name || p == end || *p != '>' || open.empty()) return false;
            const Element& closed = elements[static_cast<size_t>(open.back())];
            if (!SameText(closed.name, closed.nameLength, name, static_cast<size_t>(p - name))) {
                return false;
            }
            ++p;
            open.pop_back();
            rootDone = open.empty();
        } else {
            // "<name", attributes each after white space, then ">" or "/>".
            if (p == end || !IsNameStart(*p) || open.size() >= kMaxDepth) return false;
            char* name = p;
            p = SkipName(p, end);
            const int32_t index = AddElement(name, static_cast<size_t>(p - name));
            bool empty = false;
            for (;;) {
                if (p == end) return false;
                if (*p == '>') {
                    ++p;
                    break;
                }
                if (*p == '/') {
                    if (end - p < 2 || p[1] != '>') return false;
                    p += 2;
                    empty = true;
                    break;
                }
                if (!IsSpace(*p)) return false;
                p = SkipSpace(p, end);
                if (p == end || *p == '>' || *p == '/') continue;
                // name="value" or name='value', with nothing around "=".
                if (!IsNameStart(*p)) return false;
                char* attributeName = p;
                p = SkipName(p, end);
                const size_t attributeNameLength = static_cast<size_t>(p - attributeName);
                if (end - p < 2 || p[0] != '=' || (p[1] != '"' && p[1] != '\'')) return false;
                char* value = p + 2;
                char* close =
                    static_cast<char*>(std::memchr(value, p[1], static_cast<size_t>(end - value)));
                if (close == nullptr) return false;
                const size_t valueLength = static_cast<size_t>(close - value);
                if (std::memchr(value, '<', valueLength) != nullptr) return false;
                Element& element = elements[static_cast<size_t>(index)];
                if (element.attributeCount >= kMaxAttributes) return false;
                for (size_t i = element.firstAttribute; i < attributes.size(); ++i) {
                    if (SameText(attributes[i].name, attributes[i].nameLength, attributeName,
                                 attributeNameLength)) {
                        return false;  // the same name twice
                    }
                }
                attributes.push_back(
                    Attribute{attributeName, attributeNameLength, value, valueLength});
                ++element.attributeCount;
                p = close + 1;
            }
            if (!empty) {
                open.push_back(index);
            } else if (open.empty()) {
                rootDone = true;
            }
        }
        p = SkipSpace(p, end);
    }
    return rootDone;
}

int32_t PlainXmlDocument::AddElement(char* name, size_t nameLength) {
    const int32_t index = static_cast<int32_t>(elements.size());
    if (!open.empty()) {
        Element& parent = elements[static_cast<size_t>(open.back())];
        if (parent.lastChild < 0) {
            parent.firstChild = index;
        } else {
            elements[static_cast<size_t>(parent.lastChild)].nextSibling = index;
        }
        parent.lastChild = index;
    }
    Element element;
    element.document = this;
    element.name = name;
    element.nameLength = nameLength;
    element.firstAttribute = attributes.size();
    elements.push_back(element);
    return index;
}

const PlainXmlDocument::Element* PlainXmlDocument::FirstChildElement(const char* name) const {
    if (elements.empty()) return nullptr;
    const Element& root = elements.front();
    return name == nullptr || std::strcmp(root.name, name) == 0 ? &root : nullptr;
}

const PlainXmlDocument::Element* PlainXmlDocument::Element::Find(int32_t index,
                                                                 const char* wanted) const {
    while (index >= 0) {
        const Element& element = document->elements[static_cast<size_t>(index)];
        if (wanted == nullptr || std::strcmp(element.name, wanted) == 0) return &element;
        index = element.nextSibling;
    }
    return nullptr;
}

const PlainXmlDocument::Element* PlainXmlDocument::Element::FirstChildElement(
    const char* childName) const {
    return Find(firstChild, childName);
}

const PlainXmlDocument::Element* PlainXmlDocument::Element::NextSiblingElement(
    const char* siblingName) const {
    return Find(nextSibling, siblingName);
}

const char* PlainXmlDocument::Element::Attribute(const char* attributeName,
                                                 const char* value) const {
    for (size_t i = 0; i < attributeCount; ++i) {
        const PlainXmlDocument::Attribute& attribute = document->attributes[firstAttribute + i];
        if (std::strcmp(attribute.name, attributeName) != 0) continue;
        return value == nullptr || std::strcmp(attribute.value, value) == 0 ? attribute.value
                                                                            : nullptr;
    }
    return nullptr;
}

const char* PlainXmlDocument::Element::AttributeName(size_t i) const {
    return document->attributes[firstAttribute + i].name;
}

const char* PlainXmlDocument::Element::AttributeValue(size_t i) const {
    return document->attributes[firstAttribute + i].value;
}

}  // namespace rimvault
