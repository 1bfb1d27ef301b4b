#include "rimvaultpi/kivserverimpl/XmlWriter.h"

#include <tinyxml2.h>

#include <cstring>

namespace rimvault {

namespace {

constexpr char kDeclarationValue[] = "xml version=\"1.0\" encoding=\"UTF-8\"";

// The entity of a character that must be escaped, or nullptr. Attribute values escape all five
// characters the XML printer knows; text escapes only "&", "<" and ">".
const char* Entity(char c, bool attribute) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return attribute ? "&quot;" : nullptr;
        case '\'':
            return attribute ? "&apos;" : nullptr;
        default:
            return nullptr;
    }
}

}  // namespace

void AppendDecimal(std::string& out, uint32_t value) {
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n != 0) out += digits[--n];
}

void AppendDecimal(std::string& out, int32_t value) {
    if (value < 0) {
        out += '-';
        // The magnitude of INT32_MIN does not fit in int32_t; it does in uint32_t.
        AppendDecimal(out, 0u - static_cast<uint32_t>(value));
    } else {
        AppendDecimal(out, static_cast<uint32_t>(value));
    }
}

XmlWriter::XmlWriter() { text_.reserve(256); }

XmlWriter::XmlWriter(tinyxml2::XMLDocument& document) : document_(&document), current_(&document) {}

void XmlWriter::Declaration() {
    if (document_ != nullptr) {
        current_->InsertEndChild(document_->NewDeclaration());
        return;
    }
    Seal();
    text_ += "<?";
    text_ += kDeclarationValue;
    text_ += "?>";
}

void XmlWriter::Open(const char* name) {
    if (document_ != nullptr) {
        element_ = document_->NewElement(name);
        current_->InsertEndChild(element_);
        current_ = element_;
        return;
    }
    Seal();
    text_ += '<';
    text_ += name;
    open_.push_back(name);
    justOpened_ = true;
}

void XmlWriter::Attribute(const char* name, const char* value) {
    if (document_ != nullptr) {
        element_->SetAttribute(name, value);
        return;
    }
    text_ += ' ';
    text_ += name;
    text_ += "=\"";
    Escaped(value, true);
    text_ += '"';
}

void XmlWriter::Attribute(const char* name, int32_t value) { IntegerAttribute(name, value); }

void XmlWriter::Attribute(const char* name, uint32_t value) { IntegerAttribute(name, value); }

template <typename Integer>
void XmlWriter::IntegerAttribute(const char* name, Integer value) {
    if (document_ != nullptr) {
        element_->SetAttribute(name, value);
        return;
    }
    text_ += ' ';
    text_ += name;
    text_ += "=\"";
    AppendDecimal(text_, value);
    text_ += '"';
}

void XmlWriter::Text(const char* text) {
    if (text == nullptr) text = "";
    if (document_ != nullptr) {
        element_->SetText(text);
        return;
    }
    Seal();
    Escaped(text, false);
}

void XmlWriter::Close() {
    if (document_ != nullptr) {
        current_ = current_->Parent();
        element_ = current_->ToElement();
        return;
    }
    if (justOpened_) {
        text_ += "/>";
    } else {
        text_ += "</";
        text_ += open_.back();
        text_ += '>';
    }
    open_.pop_back();
    justOpened_ = false;
}

void XmlWriter::Finish() {
    if (document_ != nullptr) {
        while (current_ != document_) Close();
        return;
    }
    while (!open_.empty()) Close();
}

// Ends the start tag of the element just opened, before its content.
void XmlWriter::Seal() {
    if (!justOpened_) return;
    justOpened_ = false;
    text_ += '>';
}

void XmlWriter::Escaped(const char* value, bool attribute) {
    const char* const special = attribute ? "&<>\"'" : "&<>";
    for (const char* p = value;;) {
        const size_t run = std::strcspn(p, special);
        text_.append(p, run);
        p += run;
        if (*p == '\0') return;
        text_ += Entity(*p, attribute);
        ++p;
    }
}

}  // namespace rimvault
