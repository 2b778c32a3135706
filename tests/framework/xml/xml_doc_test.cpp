// Building, saving, loading and updating documents through the XML layer.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "framework/xml/xml_doc.h"
#include "tests/platform/child_process.h"
#include "tests/support/test_root.h"

namespace {

class XmlDocTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tnwtest::Root() + "/drives/c/XML");
    doc = xml_CreateDocument();
    ASSERT_NE(doc, nullptr);
    xml_SetErrorConfigName("");
    xml_SetErrorSection("");
  }
  void TearDown() override { xml_ReleaseDocument(doc); }

  static std::string File(const char *name) { return tnwtest::ReadFile(tnwtest::Root() + "/drives/c/XML/" + name); }

  XmlNode *Add(XmlNode *parent, const char *name, const char *text = nullptr) {
    XmlNode *e = xml_CreateAndAddElement(doc, name, parent);
    if (text) xml_CreateAndAddTextNode(doc, text, e);
    xml_CloseElement(doc, e);
    return e;
  }

  // Reloads a saved file into a fresh document.
  void Reload(const char *windowsPath) {
    xml_ReleaseDocument(doc);
    doc = xml_CreateDocument();
    ASSERT_EQ(xml_Load(doc, windowsPath), 0) << xml_GetErrorText();
  }

  std::string Text(XmlNode *node) {
    char *t = xml_getText(node);
    std::string s = t ? t : "<null>";
    xml_FreeText(t);
    return s;
  }

  XmlDocument *doc = nullptr;
};

struct Field {
  const char *name, *text;
};
const Field kFields[] = {{"Enable", "On"},
                         {"Tag", "PUMP1 POS"},
                         {"Description", "caf\xE9 \x80 <&> \"q\""},
                         {"Units", ""},
                         {"Analogue.Pump", "3"}};

void BuildChannels(XmlDocument *doc) {
  xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8'");
  xml_CreateAndAddCommentNode(doc, "Created Automatically by Kestrune.");
  XmlNode *root = xml_CreateAndAddElement(doc, "Channels", xml_DocumentNode(doc));
  xml_CreateAndAddAttributeNode(doc, "xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance", root);
  xml_CreateAndAddAttributeNode(doc, "xmlns", "http://tarnwell.invalid/scada/tnwll_ai", root);
  xml_CreateAndAddAttributeNode(doc, "xsi:schemaLocation",
                                "http://tarnwell.invalid/scada/tnwll_ai ../SCHEMA/tnwll_ai.xsd", root);
  for (const char *id : {"1", "2"}) {
    XmlNode *ch = xml_CreateAndAddElement(doc, "Channel", root);
    xml_CreateAndAddAttributeNode(doc, "id", id, ch);
    for (const Field &f : kFields) {
      XmlNode *e = xml_CreateAndAddElement(doc, f.name, ch);
      xml_CreateAndAddTextNode(doc, f.text, e);
      xml_CloseElement(doc, e);
    }
    xml_CloseElement(doc, ch);
  }
  xml_IndentTree(doc, root, 0);
  xml_CloseElement(doc, root);
}

}  // namespace

TEST_F(XmlDocTest, ThreeLevelsSaveWithOneTabPerLevel) {
  ASSERT_EQ(xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8'"), 0);
  ASSERT_EQ(xml_CreateAndAddCommentNode(doc, "Created Automatically by Kestrune."), 0);
  XmlNode *a = xml_CreateAndAddElement(doc, "A", xml_DocumentNode(doc));
  XmlNode *b = xml_CreateAndAddElement(doc, "B", a);
  Add(b, "C", "x");
  Add(b, "D");
  EXPECT_EQ(xml_GetDepth(), 2);
  xml_CloseElement(doc, b);
  Add(a, "E", "y");
  EXPECT_EQ(xml_IndentTree(doc, a, 0), 0);
  xml_CloseElement(doc, a);
  EXPECT_EQ(xml_GetDepth(), 0);
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\levels.xml"), 0) << xml_GetErrorText();
  EXPECT_EQ(File("levels.xml"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!--Created Automatically by Kestrune.-->\n"
            "<A>\n\t<B>\n\t\t<C>x</C>\n\t\t<D/>\n\t</B>\n\t<E>y</E>\n</A>\n");
}

TEST_F(XmlDocTest, SaveReloadUpdateAndSaveAgainGivesTheSameFile) {
  BuildChannels(doc);
  ASSERT_EQ(xml_GetError(), 0) << xml_GetErrorText();
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\ai.xml"), 0) << xml_GetErrorText();
  std::string first = File("ai.xml");
  // Narrow texts are code page 1252; the file is UTF-8.
  EXPECT_NE(first.find("caf\xC3\xA9 \xE2\x82\xAC &lt;&amp;&gt; \"q\""), std::string::npos) << first;
  EXPECT_EQ(first.find("<?xml", 1), std::string::npos) << "one declaration only";

  Reload("C:\\XML\\ai.xml");
  XmlNode *root = xml_GetRootElement(doc);
  ASSERT_NE(root, nullptr);
  // The document has a default namespace: lookups by name still work.
  XmlNode *ch = xml_FindByAttribute(root, "Channel", "id", "2");
  ASSERT_NE(ch, nullptr) << xml_GetErrorText();
  EXPECT_EQ(Text(xml_FindByName(ch, "Description")), "caf\xE9 \x80 <&> \"q\"");
  EXPECT_EQ(Text(xml_FindByName(root, "Channel[@id='2']/Tag")), "PUMP1 POS");
  EXPECT_EQ(Text(xml_FindByName(xml_DocumentNode(doc), "/Channels/Channel/Analogue.Pump")), "3");
  EXPECT_EQ(Text(xml_FindByName(ch, "Units")), "");
  for (const Field &f : kFields) {
    XmlNode *e = xml_ReplaceOrAppendElement(doc, f.name, ch);
    ASSERT_NE(e, nullptr) << xml_GetErrorText();
    xml_CreateAndAddTextNode(doc, f.text, e);
    xml_CloseElement(doc, e);
  }
  ASSERT_EQ(xml_IndentTree(doc, root, 0), 0);
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\ai2.xml"), 0) << xml_GetErrorText();
  EXPECT_EQ(File("ai2.xml"), first);

  // A replaced element stays in its place and only once.
  Reload("C:\\XML\\ai2.xml");
  root = xml_GetRootElement(doc);
  ch = xml_FindByAttribute(root, "Channel", "id", "2");
  XmlNamePair pairs[8] = {};
  ASSERT_EQ(xml_IterateChan(ch, pairs, 8), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(pairs[i].name, kFields[i].name);
    EXPECT_STREQ(pairs[i].text, kFields[i].text);
    xml_FreeText(pairs[i].name);
    xml_FreeText(pairs[i].text);
  }
}

TEST_F(XmlDocTest, AFailedFindIsStickyUntilCleared) {
  XmlNode *root = xml_CreateAndAddElement(doc, "Configs", xml_DocumentNode(doc));
  EXPECT_EQ(xml_FindByName(root, "Config"), nullptr);
  EXPECT_EQ(xml_GetError(), 0) << "nothing found is no failure";
  EXPECT_EQ(xml_FindByName(root, "Config[@id="), nullptr);
  EXPECT_LT(xml_GetError(), 0);
  xml_SetErrorConfigName("tnwll");
  xml_SetErrorSection("Dev/Proc Config");
  const std::string message = "tnwllDev/Proc Config - xml_FindByName('Config[@id=') failed 0x80004005";
  EXPECT_EQ(xml_GetErrorText(), message);
  // Every later call is a no-op that keeps the first message.
  EXPECT_EQ(xml_CreateElement(doc, "Config"), nullptr);
  EXPECT_EQ(xml_CreateAndAddElement(doc, "Config", root), nullptr);
  EXPECT_EQ(xml_CreateAndAddTextNode(doc, "x", root), -1);
  EXPECT_EQ(xml_IndentTree(doc, root, 0), -1);
  EXPECT_EQ(xml_Save(doc, "C:\\XML\\sticky.xml"), -1);
  EXPECT_EQ(xml_GetErrorText(), message);
  EXPECT_FALSE(std::filesystem::exists(tnwtest::Root() + "/drives/c/XML/sticky.xml"));
  EXPECT_EQ(xml_FirstChild(xml_DocumentNode(doc)), nullptr);
  xml_ClearError();
  EXPECT_NE(xml_CreateAndAddElement(doc, "Config", root), nullptr);
  EXPECT_EQ(xml_GetError(), 0);
}

TEST_F(XmlDocTest, AnErrorWhileBuildingSurvivesIndentation) {
  XmlNode *root = xml_CreateAndAddElement(doc, "Configs", xml_DocumentNode(doc));
  Add(root, "ScanRate", "1000");
  // A field name with a blank is no XML name.
  EXPECT_EQ(xml_CreateAndAddElement(doc, "Com Port", root), nullptr);
  EXPECT_STREQ(xml_GetErrorText(), " - xml_CreateElement('Com Port') failed 0x80070057");
  int32_t code = xml_GetError();
  EXPECT_EQ(xml_IndentTree(doc, root, 0), -1);
  EXPECT_EQ(xml_GetError(), code);
  EXPECT_NE(xml_Save(doc, "C:\\XML\\partial.xml"), 0);
  EXPECT_FALSE(std::filesystem::exists(tnwtest::Root() + "/drives/c/XML/partial.xml"));
}

TEST_F(XmlDocTest, NamesAreCheckedAsXmlNames) {
  XmlNode *root = xml_CreateAndAddElement(doc, "xs:schema", xml_DocumentNode(doc));
  ASSERT_NE(root, nullptr) << xml_GetErrorText();
  for (const char *bad : {"1abc", "a b", "", "a:b:c", "<x>"}) {
    xml_ClearError();
    EXPECT_EQ(xml_CreateElement(doc, bad), nullptr) << bad;
    EXPECT_EQ(xml_GetError(), XML_E_INVALIDARG) << bad;
    xml_ClearError();
    EXPECT_EQ(xml_CreateAndAddAttributeNode(doc, bad, "v", root), -1) << bad;
  }
  xml_ClearError();
  EXPECT_EQ(xml_CreateElement(doc, nullptr), nullptr);
  EXPECT_STREQ(xml_GetErrorText(), " - BstrFromChar('(null)') failed");
  EXPECT_EQ(xml_GetError(), -1);
}

TEST_F(XmlDocTest, IllegalCharactersBecomeThePlaceholderAndTheFileStillParses) {
  XmlNode *root = xml_CreateAndAddElement(doc, "Channel", xml_DocumentNode(doc));
  XmlNode *tag = xml_CreateAndAddElement(doc, "Tag", root);
  EXPECT_EQ(xml_CreateAndAddTextNode(doc, "bad\x01text", tag), 0);
  XmlNode *units = xml_CreateAndAddElement(doc, "Units", root);
  EXPECT_EQ(xml_CreateAndAddTextNode(doc, "mA", units), 0);
  EXPECT_EQ(xml_GetError(), 0);
  xml_IndentTree(doc, root, 0);
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\illegal.xml"), 0);
  Reload("C:\\XML\\illegal.xml");
  root = xml_GetRootElement(doc);
  EXPECT_EQ(Text(xml_FindByName(root, "Tag")), XML_ILLEGAL_TEXT);
  EXPECT_EQ(Text(xml_FindByName(root, "Units")), "mA");
}

TEST_F(XmlDocTest, ConversionFailuresOfAttributesAndInstructionsSetTheError) {
  XmlNode *root = xml_CreateAndAddElement(doc, "Channel", xml_DocumentNode(doc));
  std::string longest(XML_VARIANT_MAX, 'v');
  EXPECT_EQ(xml_CreateAndAddAttributeNode(doc, "a", longest.c_str(), root), 0);
  std::string tooLong = longest + "w";
  EXPECT_EQ(xml_CreateAndAddAttributeNode(doc, "b", tooLong.c_str(), root), -1);
  EXPECT_EQ(xml_GetError(), -1);
  EXPECT_EQ(std::string(xml_GetErrorText()).rfind(" - BstrFromChar('b') or VariantFromChar('vvv", 0), 0u);
  xml_ClearError();
  EXPECT_EQ(xml_CreateAndAddPINode(doc, nullptr, "x"), -1);
  EXPECT_EQ(xml_GetError(), -1);
  EXPECT_STREQ(xml_GetErrorText(), " - BstrFromChar('(null)') or BstrFromChar('5s') failed");
  xml_ClearError();
  EXPECT_EQ(xml_CreateAndAddPINode(doc, "xml", "version='2.0'"), -1);
  EXPECT_LT(xml_GetError(), 0);
}

TEST_F(XmlDocTest, TheXmlInstructionIsTheDeclaration) {
  ASSERT_EQ(xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8'"), 0);
  ASSERT_EQ(xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8' standalone='yes'"), 0);
  ASSERT_EQ(xml_CreateAndAddPINode(doc, "keep", "me"), 0);
  Add(xml_DocumentNode(doc), "Root", "x");
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\decl.xml"), 0);
  EXPECT_EQ(File("decl.xml"),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<?keep me?>\n<Root>x</Root>\n");
  // Without the instruction the file has no declaration, and reloading keeps that.
  xml_ReleaseDocument(doc);
  doc = xml_CreateDocument();
  Add(xml_DocumentNode(doc), "Root", "x");
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\nodecl.xml"), 0);
  EXPECT_EQ(File("nodecl.xml"), "<Root>x</Root>\n");
  Reload("C:\\XML\\nodecl.xml");
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\nodecl2.xml"), 0);
  EXPECT_EQ(File("nodecl2.xml"), "<Root>x</Root>\n");
}

TEST_F(XmlDocTest, ADocumentHoldsOneRootElement) {
  XmlNode *docNode = xml_DocumentNode(doc);
  ASSERT_NE(xml_CreateAndAddElement(doc, "One", docNode), nullptr);
  EXPECT_EQ(xml_CreateAndAddElement(doc, "Two", docNode), nullptr);
  EXPECT_STREQ(xml_GetErrorText(), " - xml_AppendChildToParent() failed 0x80004005");
  xml_ClearError();
  EXPECT_EQ(xml_CreateAndAddTextNode(doc, "text", docNode), -1);
  xml_ClearError();
  // An element cannot become its own descendant.
  XmlNode *root = xml_GetRootElement(doc);
  XmlNode *child = xml_CreateAndAddElement(doc, "Child", root);
  EXPECT_EQ(xml_AppendChildToParent(root, child), -1);
  xml_ClearError();
  // A detached element is the caller's to release.
  XmlNode *loose = xml_CreateElement(doc, "Loose");
  ASSERT_NE(loose, nullptr);
  xml_ReleaseNode(loose);
}

TEST_F(XmlDocTest, FindByAttributeQuotesItsValueAndNeverCutsIt) {
  std::string longValue(200, 'x');
  std::string almost = longValue.substr(0, 150);
  std::string file = "<Channels xmlns=\"urn:x\"><Channel id=\"it's &quot;q&quot;\"><Tag>quoted</Tag></Channel>"
                     "<Channel id=\"" + almost + "\"><Tag>short</Tag></Channel>"
                     "<Channel id=\"" + longValue + "\"><Tag>long</Tag></Channel>"
                     "<Channel id=\"a' or '1'='1\"><Tag>inject</Tag></Channel></Channels>";
  ASSERT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/drives/c/XML/attr.xml", file));
  ASSERT_EQ(xml_Load(doc, "C:\\XML\\attr.xml"), 0) << xml_GetErrorText();
  XmlNode *root = xml_GetRootElement(doc);
  EXPECT_EQ(Text(xml_FindByName(xml_FindByAttribute(root, "Channel", "id", "it's \"q\""), "Tag")), "quoted");
  EXPECT_EQ(Text(xml_FindByName(xml_FindByAttribute(root, "Channel", "id", longValue.c_str()), "Tag")), "long");
  EXPECT_EQ(Text(xml_FindByName(xml_FindByAttribute(root, "Channel", "id", almost.c_str()), "Tag")), "short");
  EXPECT_EQ(xml_FindByAttribute(root, "Channel", "id", "a' or '1'='1x"), nullptr);
  EXPECT_EQ(Text(xml_FindByName(xml_FindByAttribute(root, "Channel", "id", "a' or '1'='1"), "Tag")), "inject");
  EXPECT_EQ(xml_GetError(), 0) << xml_GetErrorText();
}

TEST_F(XmlDocTest, ReadingAttributesNamesAndChildren) {
  std::string file =
      "<?xml version=\"1.0\"?>\n<Configs xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns=\"urn:tnwll\" xsi:schemaLocation=\"urn:tnwll ../SCHEMA/tnwll.xsd\">\n"
      "\t<Config>\n\t\t<AutoEnable>On</AutoEnable>\n\t\t<SaveRate/>\n\t\t<Desc>caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD</Desc>\n"
      "\t</Config>\n\t<Config><A>1</A><!-- note --><B>2</B></Config>\n</Configs>\n";
  ASSERT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/drives/c/XML/cfg.xml", file));
  ASSERT_EQ(xml_Load(doc, "C:\\XML\\cfg.xml"), 0) << xml_GetErrorText();
  XmlNode *root = xml_GetRootElement(doc);
  char *name = xml_getName(root);
  EXPECT_STREQ(name, "Configs");
  xml_FreeText(name);
  EXPECT_EQ(xml_getAttribute(root, "xsi:schemaLocation", 0), nullptr);
  XmlNode *loc = xml_getAttribute(root, "xsi:schemaLocation", 1);
  ASSERT_NE(loc, nullptr);
  EXPECT_EQ(Text(loc), "urn:tnwll ../SCHEMA/tnwll.xsd");
  EXPECT_EQ(xml_getAttribute(root, "schemaLocation", 1), nullptr);

  XmlNode *config = xml_FindByName(root, "Config");
  XmlNamePair pairs[4] = {};
  ASSERT_EQ(xml_IterateChan(config, pairs, 2), 2);
  EXPECT_STREQ(pairs[0].name, "AutoEnable");
  EXPECT_STREQ(pairs[0].text, "On");
  EXPECT_STREQ(pairs[1].name, "SaveRate");
  EXPECT_STREQ(pairs[1].text, "");
  for (int i = 0; i < 2; ++i) xml_FreeText(pairs[i].name), xml_FreeText(pairs[i].text);
  // Characters outside code page 1252 read as '?'.
  EXPECT_EQ(Text(xml_FindByName(config, "Desc")), "caf\xE9 \x80 ?");

  // A comment among the children is no element.
  XmlNode *second = xml_NextSibling(config);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(xml_IterateChan(second, pairs, 4), -1);
  EXPECT_EQ(xml_GetError(), -1);
  EXPECT_EQ(pairs[0].name, nullptr);
  xml_ClearError();

  XmlNode *a = xml_FirstChild(second);
  EXPECT_EQ(xml_PreviousSibling(a), nullptr);
  EXPECT_EQ(xml_RemoveChild(second, a), 0);
  EXPECT_EQ(xml_FindByName(second, "A"), nullptr);
  EXPECT_EQ(xml_RemoveChild(root, xml_FindByName(second, "B")), -1);
  EXPECT_STREQ(xml_GetErrorText(), " - xml_RemoveChild() failed 0x80070057");
}

TEST_F(XmlDocTest, EveryNameOfAPathMatchesInADefaultNamespace) {
  const std::string file =
      "<Channels xmlns=\"urn:x\" xmlns:p=\"urn:p\">"
      "<Channel id=\"1\"><Tag>a</Tag><p:Extra>e</p:Extra><div>d</div><text>t</text></Channel>"
      "<Channel id=\"2\"><Tag>x</Tag><Units>u</Units></Channel></Channels>";
  ASSERT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/drives/c/XML/ns.xml", file));
  ASSERT_EQ(xml_Load(doc, "C:\\XML\\ns.xml"), 0) << xml_GetErrorText();
  XmlNode *root = xml_GetRootElement(doc);
  XmlNode *tag2 = xml_FindByName(root, "Channel[@id='2']/Tag");
  ASSERT_NE(tag2, nullptr);
  const struct {
    XmlNode *from;
    const char *path, *text;
  } kCases[] = {
      {root, "Channel[Tag='x']/Units", "u"},
      {root, "Channel[Tag = 'x' and @id = '2']/Tag", "x"},
      {root, "Channel[not(Units)]/Tag", "a"},
      {root, "descendant::Channel[Units]/Tag", "x"},
      {root, "//Tag[. = 'x']", "x"},
      {root, "Channel[position() = last()]/Tag", "x"},
      {root, "Channel[9] | Channel[2]/Units", "u"},
      {root, "Channel/p:Extra", "e"},
      {root, "Channel[1]/*[2]", "e"},
      {root, "Channel[@id = 3 - 1]/Tag", "x"},
      {root, "Channel[@id * 2 = 4]/Tag", "x"},
      {root, "Channel[@id mod 2 = 0]/Tag", "x"},
      {root, "Channel/div", "d"},
      {root, "Channel[div and Tag]/text", "t"},
      {root, "Channel[Tag = 'and']", "<null>"},
      {tag2, "ancestor::Channels/Channel[1]/Tag", "a"},
      {tag2, "../Units", "u"},
      {tag2, "following-sibling::Units", "u"},
      {tag2, "parent::Channel/attribute::id", "2"},
  };
  for (const auto &c : kCases) {
    EXPECT_EQ(Text(xml_FindByName(c.from, c.path)), c.text) << c.path;
    EXPECT_EQ(xml_GetError(), 0) << c.path << ": " << xml_GetErrorText();
    xml_ClearError();
  }
}

TEST_F(XmlDocTest, NamespaceDeclarationsReadAsAttributes) {
  XmlNode *root = xml_CreateAndAddElement(doc, "Channels", xml_DocumentNode(doc));
  ASSERT_EQ(xml_CreateAndAddAttributeNode(doc, "xmlns", "urn:one", root), 0);
  ASSERT_EQ(xml_CreateAndAddAttributeNode(doc, "xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance", root), 0);
  ASSERT_EQ(xml_CreateAndAddAttributeNode(doc, "id", "7", root), 0);
  XmlNode *ns = xml_getAttribute(root, "xmlns", 1);
  ASSERT_NE(ns, nullptr);
  EXPECT_EQ(Text(ns), "urn:one");
  char *name = xml_getName(xml_getAttribute(root, "xmlns:xsi", 1));
  EXPECT_STREQ(name, "xmlns:xsi");
  xml_FreeText(name);
  EXPECT_EQ(Text(xml_getAttribute(root, "xmlns:xsi", 1)), "http://www.w3.org/2001/XMLSchema-instance");
  EXPECT_EQ(xml_getAttribute(root, "xmlns:p", 1), nullptr);
  EXPECT_EQ(xml_getAttribute(root, "xmlnsx", 1), nullptr);
  EXPECT_EQ(xml_getAttribute(root, "xmlns", 0), nullptr);
  // The same view, following a changed declaration.
  ASSERT_EQ(xml_CreateAndAddAttributeNode(doc, "xmlns", "urn:two", root), 0);
  EXPECT_EQ(xml_getAttribute(root, "xmlns", 1), ns);
  EXPECT_EQ(Text(ns), "urn:two");
  // Read-only: the declaration stays.
  EXPECT_EQ(xml_RemoveChild(root, ns), -1);
  xml_ClearError();
  xml_ReleaseNode(ns);
  EXPECT_EQ(xml_RemoveChild(root, xml_getAttribute(root, "id", 1)), 0);
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\nsattr.xml"), 0) << xml_GetErrorText();
  EXPECT_EQ(File("nsattr.xml"),
            "<Channels xmlns=\"urn:two\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"/>\n");
  // Loaded documents too; a reload frees the views of the tree it replaces.
  Reload("C:\\XML\\nsattr.xml");
  EXPECT_EQ(Text(xml_getAttribute(xml_GetRootElement(doc), "xmlns", 1)), "urn:two");
  ASSERT_EQ(xml_Load(doc, "C:\\XML\\nsattr.xml"), 0);
  EXPECT_EQ(Text(xml_getAttribute(xml_GetRootElement(doc), "xmlns:xsi", 1)),
            "http://www.w3.org/2001/XMLSchema-instance");
}

TEST_F(XmlDocTest, LoadFailures) {
  EXPECT_EQ(xml_Load(doc, "C:\\XML\\missing.xml"), 1);
  EXPECT_STREQ(xml_GetErrorText(), " - Xml Load Failed (C:\\XML\\missing.xml), File Not Found");
  EXPECT_LT(xml_GetError(), 0);
  xml_ClearError();
  ASSERT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/drives/c/XML/bad.xml", "<A>\n<B></A>\n"));
  EXPECT_EQ(xml_Load(doc, "C:\\XML\\bad.xml"), -1);
  std::string text = xml_GetErrorText();
  EXPECT_EQ(text.rfind(" - Xml Load Failed (C:\\XML\\bad.xml) line 2: ", 0), 0u) << text;
  EXPECT_NE(text.find("mismatch"), std::string::npos) << text;
  EXPECT_NE(text.find("0x800705b9"), std::string::npos) << text;
  xml_ClearError();
  // An undeclared prefix is no document either.
  ASSERT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/drives/c/XML/ns.xml", "<xs:A/>"));
  EXPECT_EQ(xml_Load(doc, "C:\\XML\\ns.xml"), -1);
  xml_ClearError();
  std::string longName = "C:\\XML\\" + std::string(130, 'n') + ".xml";
  EXPECT_EQ(xml_Load(doc, longName.c_str()), 1);
  EXPECT_EQ(xml_GetError(), -1);
  EXPECT_EQ(std::string(xml_GetErrorText()).rfind(" - VariantFromChar('C:\\XML\\nnn", 0), 0u);
  xml_ClearError();
  EXPECT_EQ(xml_GetRootElement(doc), nullptr);
  EXPECT_STREQ(xml_GetErrorText(), " - No Root element found");
}

TEST_F(XmlDocTest, SaveFailures) {
  Add(xml_DocumentNode(doc), "Root", "x");
  EXPECT_EQ(xml_Save(doc, "C:\\NOFOLDER\\x.xml"), XML_HRESULT_FROM_WIN32(2));
  EXPECT_STREQ(xml_GetErrorText(), " - Save XML File (C:\\NOFOLDER\\x.xml) failed, Invalid filename 0x80070002");
  xml_ClearError();
  std::string longName = "C:\\XML\\" + std::string(130, 'n') + ".xml";
  EXPECT_EQ(xml_Save(doc, longName.c_str()), -1);
  EXPECT_EQ(std::string(xml_GetErrorText()).rfind(" - VariantFromChar(", 0), 0u);
  xml_ClearError();
  // A folder the user may not write to: as root the save runs as nobody in
  // a child, so the refusal is seen whatever user runs the suite.
  std::filesystem::create_directories(tnwtest::Root() + "/drives/c/RO");
  std::filesystem::permissions(tnwtest::Root() + "/drives/c/RO",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  pid_t child = tnwtest::Spawn([this] {
    if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) return 10;
    if (xml_Save(doc, "C:\\RO\\x.xml") != XML_E_ACCESSDENIED) return 1;
    if (std::string(xml_GetErrorText()) != " - Save XML File (C:\\RO\\x.xml) failed, Access Denied 0x80070005")
      return 2;
    return 0;
  });
  EXPECT_EQ(tnwtest::Join(child), 0);
  std::filesystem::permissions(tnwtest::Root() + "/drives/c/RO", std::filesystem::perms::owner_all);
}

TEST_F(XmlDocTest, CommentsCdataAndInsertion) {
  XmlNode *root = xml_CreateAndAddElement(doc, "Root", xml_DocumentNode(doc));
  XmlNode *b = xml_CreateAndAddElement(doc, "B", root);
  XmlNode *a = xml_CreateElement(doc, "A");
  EXPECT_EQ(xml_InsertBefore(a, b), 0);
  EXPECT_EQ(xml_InsertTextBefore(doc, "t", a), 0);
  EXPECT_EQ(xml_CreateAndAddCDATANode(doc, "<raw>", b), 0);
  EXPECT_EQ(xml_CreateAndAddCDATANode(doc, "x]]>y", b), -1);
  xml_ClearError();
  EXPECT_EQ(xml_CreateAndAddCommentNode(doc, "a--b"), -1);
  xml_ClearError();
  EXPECT_EQ(xml_CreateAndAddCommentNode(doc, "after"), 0);
  ASSERT_EQ(xml_Save(doc, "C:\\XML\\misc.xml"), 0) << xml_GetErrorText();
  EXPECT_EQ(File("misc.xml"), "<Root>t<A/><B><![CDATA[<raw>]]></B></Root>\n<!--after-->\n");
  EXPECT_EQ(Text(b), "<raw>");
}
