// The quick reader against the XML library: whatever it accepts, the library must read with
// the same elements and attributes; what needs the library's rules it must refuse.
#include "rimvaultpi/kivserverimpl/PlainXml.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <string>
#include <vector>

namespace rimvault {
namespace {

// One line per element: depth, name and attributes in order.
void Dump(const tinyxml2::XMLElement* element, int depth, std::string& out) {
    for (; element != nullptr; element = element->NextSiblingElement()) {
        out += std::to_string(depth) + " " + element->Name();
        for (const tinyxml2::XMLAttribute* a = element->FirstAttribute(); a != nullptr;
             a = a->Next()) {
            out += std::string(" [") + a->Name() + "]=[" + a->Value() + "]";
        }
        out += "\n";
        Dump(element->FirstChildElement(), depth + 1, out);
    }
}

void Dump(const PlainXmlDocument::Element* element, int depth, std::string& out) {
    for (; element != nullptr; element = element->NextSiblingElement()) {
        out += std::to_string(depth) + " " + element->Name();
        for (size_t i = 0; i < element->AttributeCount(); ++i) {
            out += std::string(" [") + element->AttributeName(i) + "]=[" +
                   element->AttributeValue(i) + "]";
        }
        out += "\n";
        Dump(element->FirstChildElement(), depth + 1, out);
    }
}

// Empty when the quick reader refuses `text`; otherwise its dump, which the library's must
// equal.
std::string CheckAgainstLibrary(const std::string& text, size_t* accepted = nullptr) {
    PlainXmlDocument plain;
    if (!plain.Parse(text.data(), text.size())) {
        EXPECT_EQ(plain.FirstChildElement(), nullptr);
        return "";
    }
    if (accepted != nullptr) ++*accepted;
    std::string plainDump;
    Dump(plain.FirstChildElement(), 0, plainDump);
    tinyxml2::XMLDocument library(true, tinyxml2::PRESERVE_WHITESPACE);
    EXPECT_EQ(library.Parse(text.data(), text.size()), tinyxml2::XML_SUCCESS) << "[" << text << "]";
    std::string libraryDump;
    Dump(library.FirstChildElement(), 0, libraryDump);
    EXPECT_EQ(plainDump, libraryDump) << "[" << text << "]";
    return plainDump;
}

const char* const kPlainDocuments[] = {
    // A device report as device plug-ins send it.
    "<?xml version=\"1.0\"?><Kivrec><Devices ID=\"2097152\"><Device Number=\"1\" "
    "RimvaultSupported=\"1\"><Codec><Encoder Number=\"0\"><Channel Number=\"0\" Connected=\"0\" "
    "Time=\"1700000000\"/></Encoder></Codec></Device></Devices></Kivrec>",
    // A storage answer, laid out over lines, with single quotes.
    "<?xml version='1.0' encoding='UTF-8' ?>\n<Kivrec>\n\t<Devices ID='7'>\n\t\t<Device "
    "Number='3'>\n\t\t\t<Storage GUID='0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b' "
    "RetrievalStatus='4' ErrorCode='-3' FailedClipStartTime='1200'>\n\t\t\t\t<Input "
    "Number=\"1\"><Context Number=\"0\" Recordings=\"2\" TotalSize=\"600\" OldestStart=\"1\" "
    "NewestEnd=\"2\"/></Input>\n\t\t\t</Storage>\n\t\t</Device>\n\t</Devices>\n</Kivrec>\n",
    // A download, its file name quoted; values holding quotes of the other kind, ">" and "/".
    "<Kivrec><Devices ID=\"7\"><Device Number=\"3\"><Input><Context><Storage "
    "GUID=\"0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b\" RetrievalStatus=\"3\" FileName='\"/tmp/a "
    "b.mp4\"' Start=\"-1\" InputName=\"a>b/c\"/></Context></Input></Device></Devices></Kivrec>",
    // A reservation answer, no declaration, names with ":", "_", "." and "-".
    "<Kivrec><Storage ID=\"327680\"><Reservation GUID=\"0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b\" "
    "TmpDir=\"/t\" OutDir=\"/o\" x:y_z.1-2=\"\"/></Storage><Storage/></Kivrec>",
    "  <Other a=\"1\" ></Other>  ",
};

TEST(PlainXml, AcceptsPlainDocumentsAsTheLibraryReadsThem) {
    for (const char* text : kPlainDocuments) {
        EXPECT_NE(CheckAgainstLibrary(text), "") << text;
    }
}

// Every truncation, every byte replaced by characters that matter to XML, every byte removed:
// whatever the quick reader accepts, the library reads the same.
TEST(PlainXml, EveryVariantItAcceptsReadsAsTheLibraryReadsIt) {
    const char substitutes[] = {'<', '>', '/', '"', '\'', '=', ' ', '\t', '\n',   '\r',  '\v',
                                '&', '?', '!', '-', 'a',  '0', ':', '\0', '\x80', '\xff'};
    size_t variants = 0;
    size_t accepted = 0;
    for (const char* document : kPlainDocuments) {
        const std::string text = document;
        for (size_t length = 0; length <= text.size(); ++length) {
            CheckAgainstLibrary(text.substr(0, length), &accepted);
            ++variants;
        }
        for (size_t at = 0; at < text.size(); ++at) {
            for (char c : substitutes) {
                std::string changed = text;
                changed[at] = c;
                CheckAgainstLibrary(changed, &accepted);
                ++variants;
            }
            CheckAgainstLibrary(text.substr(0, at) + text.substr(at + 1), &accepted);
            ++variants;
        }
    }
    // Many variants are still plain documents, many are not: both sides are exercised.
    EXPECT_GT(accepted, variants / 20);
    EXPECT_LT(accepted, variants / 2);
}

TEST(PlainXml, RefusesWhatNeedsTheLibrary) {
    std::string deep;
    for (size_t i = 0; i <= PlainXmlDocument::kMaxDepth; ++i) deep += "<a>";
    for (size_t i = 0; i <= PlainXmlDocument::kMaxDepth; ++i) deep += "</a>";
    std::string manyAttributes = "<a";
    for (size_t i = 0; i <= PlainXmlDocument::kMaxAttributes; ++i) {
        manyAttributes += " a" + std::to_string(i) + "=\"\"";
    }
    manyAttributes += "/>";
    const std::string cases[] = {
        "",
        "   ",
        "<?xml version=\"1.0\"?>",
        "<a x=\"&amp;\"/>",        // entity reference
        "<a x=\"1\r\"/>",          // carriage return
        "<a x=\"\xc3\xa9\"/>",     // beyond ASCII
        std::string("<a/>\0", 5),  // NUL
        "<a>text</a>",             // text
        "<a><!-- c --></a>",       // comment
        "<a><![CDATA[x]]></a>",    // CDATA
        "<!DOCTYPE a><a/>",        // declaration of a type
        "<a x=\"1\" x=\"2\"/>",    // the same attribute twice
        "<a x = \"1\"/>",          // white space around "="
        "<a x=\"1\"y=\"2\"/>",     // no white space between attributes
        "<a x=1/>",                // unquoted value
        "<a x=\"<\"/>",            // "<" in a value
        "< a/>",                   // white space before the name
        "<a></a >",                // white space in an end tag
        "<a></b>",                 // mismatched end tag
        "<a>",                     // not closed
        "</a>",                    // end tag without start
        "<a/><b/>",                // a second root
        "<a/></b>",                // stray end tag after the root
        "<a/><?pi?>",              // declaration after the root
        "<a><?pi?></a>",           // declaration inside
        "<?pi?><?pi?><a/>",        // a second declaration
        "<1a/>",                   // bad name
        "<a\v/>",                  // vertical tab
        deep,
        manyAttributes,
    };
    for (const std::string& text : cases) {
        PlainXmlDocument plain;
        EXPECT_FALSE(plain.Parse(text.data(), text.size())) << "[" << text << "]";
    }
}

// The lookups find what the library's find: first of a name, next of a name, first attribute.
TEST(PlainXml, LookupsAsTheLibrary) {
    const std::string text = "<r><x n=\"1\"/><y n=\"2\"/><x n=\"3\" v=\"a\"/><z/></r>";
    PlainXmlDocument plain;
    ASSERT_TRUE(plain.Parse(text.data(), text.size()));
    tinyxml2::XMLDocument library;
    ASSERT_EQ(library.Parse(text.c_str()), tinyxml2::XML_SUCCESS);

    EXPECT_EQ(plain.FirstChildElement("q"), nullptr);
    const PlainXmlDocument::Element* r = plain.FirstChildElement("r");
    const tinyxml2::XMLElement* lr = library.FirstChildElement("r");
    ASSERT_NE(r, nullptr);
    for (const char* name : {"x", "y", "z", "w"}) {
        const PlainXmlDocument::Element* e = r->FirstChildElement(name);
        const tinyxml2::XMLElement* le = lr->FirstChildElement(name);
        ASSERT_EQ(e == nullptr, le == nullptr) << name;
        for (; e != nullptr; e = e->NextSiblingElement(name), le = le->NextSiblingElement(name)) {
            ASSERT_NE(le, nullptr);
            for (const char* attribute : {"n", "v", "w"}) {
                for (const char* value : {static_cast<const char*>(nullptr), "1", "3", "a"}) {
                    const char* mine = e->Attribute(attribute, value);
                    const char* theirs = le->Attribute(attribute, value);
                    ASSERT_EQ(mine == nullptr, theirs == nullptr) << name << attribute;
                    if (mine != nullptr) {
                        EXPECT_STREQ(mine, theirs);
                    }
                }
            }
        }
        EXPECT_EQ(le, nullptr);
    }
    EXPECT_STREQ(r->FirstChildElement()->NextSiblingElement()->Name(), "y");
}

// A refused document leaves nothing of the one accepted before it.
TEST(PlainXml, RefusalClearsThePreviousDocument) {
    PlainXmlDocument plain;
    ASSERT_TRUE(plain.Parse("<a/>", 4));
    EXPECT_FALSE(plain.Parse("<a>", 3));
    EXPECT_EQ(plain.FirstChildElement(), nullptr);
}

}  // namespace
}  // namespace rimvault
