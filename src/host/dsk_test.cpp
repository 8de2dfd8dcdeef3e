#include "host/dsk.h"

#include <gtest/gtest.h>

#include <fstream>

#include "temp_dir.h"

namespace {

// The start of a PNG file: what an icon's size is read from.
std::string pngHeader(unsigned width, unsigned height) {
  std::string bytes = std::string("\x89PNG\r\n\x1a\n", 8) + std::string("\0\0\0\x0dIHDR", 8);
  for (unsigned value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((value >> shift) & 0xff);
  }
  return bytes + std::string("\x08\x06\0\0\0", 5);
}

std::string write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(DesktopTest, ExecQuotesWhatDesktopsWouldSplitOrExpand) {
  const std::pair<std::string, std::string> rows[] = {
      {"/usr/bin/demo", "/usr/bin/demo %F"},
      {"/opt/My Apps/demo", "\"/opt/My Apps/demo\" %F"},
      {"/opt/a\"b$c`d", "\"/opt/a\\\\\"b\\\\$c\\\\`d\" %F"},
      {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\" %F"},
      {"/opt/100%/demo", "/opt/100%%/demo %F"},
      {"/opt/it's;demo", "\"/opt/it's;demo\" %F"},
  };
  for (const auto& [path, exec] : rows) EXPECT_EQ(dskExecValue(path), exec) << path;
}

TEST(DesktopTest, MimeTypeLinesAreCheckedAsTheyAreRead) {
  std::string why;
  std::optional<DskMimeType> mime = dskParseMimeType("application/x-demo *.demo Demo  document", why);
  ASSERT_TRUE(mime) << why;
  EXPECT_EQ(mime->type, "application/x-demo");
  EXPECT_EQ(mime->glob, "*.demo");
  EXPECT_EQ(mime->description, "Demo  document");
  const std::pair<std::string, std::string> refused[] = {
      {"application/x-demo *.demo", "give a type, a file name pattern and a description"},
      {"demo *.demo Demo", "'demo' is no media type (such as application/x-demo)"},
      {"application/ *.demo Demo", "'application/' is no media type (such as application/x-demo)"},
      {"text/x-demo a/*.demo Demo", "'a/*.demo' is no file name pattern (such as *.demo)"},
      {"application/+x *.demo Demo", "'application/+x' is no media type (such as application/x-demo)"},
      {"text/x-demo *.demo Caf\xe9", "the description is not UTF-8 text"},
  };
  for (const auto& [line, message] : refused) {
    EXPECT_FALSE(dskParseMimeType(line, why)) << line;
    EXPECT_EQ(why, message) << line;
  }
  EXPECT_EQ(dskParseCategories("Office;Viewer; Java"), (std::vector<std::string>{"Office", "Viewer", "Java"}));
  EXPECT_FALSE(dskParseCategories("Office/Viewer"));
  EXPECT_FALSE(dskParseCategories(" ; "));
}

TEST(DesktopTest, PlanWritesIconsMimePackageAndTheEntryLast) {
  TempDir dir;
  DskApplication app{
      .id = "demo",
      .name = " Demo\\Viewer",
      .exec = "/usr/bin/demo",
      .icons = {write(dir.path() + "/a.png", pngHeader(48, 48)),
                write(dir.path() + "/a.svg", "<?xml version=\"1.0\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"/>")},
      .categories = {"Office", "Viewer"},
      .mimeTypes = {{"application/x-demo", "*.demo", "Demo <document>"},
                    {"application/x-demo", "*.dmo", "ignored"},
                    {"text/x-note", "*.note", "Note"}},
      .windowClass = "demo-Viewer",
  };
  std::string error;
  std::optional<std::vector<DskFile>> files = dskPlan(app, true, error);
  ASSERT_TRUE(files) << error;
  ASSERT_EQ(files->size(), 4u);
  EXPECT_EQ((*files)[0].path, "icons/hicolor/48x48/apps/demo.png");
  EXPECT_EQ((*files)[0].text, pngHeader(48, 48));
  EXPECT_EQ((*files)[1].path, "icons/hicolor/scalable/apps/demo.svg");
  EXPECT_EQ((*files)[2].path, "mime/packages/demo.xml");
  EXPECT_EQ((*files)[2].text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
            "  <mime-type type=\"application/x-demo\">\n"
            "    <comment>Demo &lt;document&gt;</comment>\n"
            "    <glob pattern=\"*.demo\"/>\n"
            "    <glob pattern=\"*.dmo\"/>\n"
            "  </mime-type>\n"
            "  <mime-type type=\"text/x-note\">\n"
            "    <comment>Note</comment>\n"
            "    <glob pattern=\"*.note\"/>\n"
            "  </mime-type>\n"
            "</mime-info>\n");
  EXPECT_EQ((*files)[3].path, "applications/demo.desktop");
  EXPECT_EQ((*files)[3].text,
            "[Desktop Entry]\nType=Application\n"
            "X-Jlauncher-Files=icons/hicolor/48x48/apps/demo.png;icons/hicolor/scalable/apps/demo.svg;"
            "mime/packages/demo.xml;\n"
            "Name=\\sDemo\\\\Viewer\nExec=/usr/bin/demo %F\nIcon=demo\n"
            "Terminal=false\nCategories=Office;Viewer;\nMimeType=application/x-demo;text/x-note;\n"
            "StartupWMClass=demo-Viewer\n");
  // A package's entry records nothing: the package manager does.
  files = dskPlan(app, false, error);
  ASSERT_TRUE(files) << error;
  EXPECT_EQ(files->back().text.find("X-Jlauncher"), std::string::npos);
}

TEST(DesktopTest, PlanRefusesWhatNoDesktopWouldFind) {
  TempDir dir;
  std::string odd = write(dir.path() + "/odd.png", pngHeader(50, 50));
  std::string wide = write(dir.path() + "/wide.png", pngHeader(64, 48));
  std::string gif = write(dir.path() + "/icon.gif", "GIF89a");
  std::string first = write(dir.path() + "/first.png", pngHeader(32, 32));
  auto app = [](std::string id, std::string exec, std::vector<std::string> icons = {}) {
    return DskApplication{
        .id = id, .name = {}, .exec = exec, .icons = icons, .categories = {}, .mimeTypes = {}, .windowClass = {}};
  };
  const std::pair<DskApplication, std::string> rows[] = {
      {app("1demo", "/usr/bin/x"),
       "'1demo' cannot name a desktop entry: use letters, digits, '.', '_' and '-', not first a digit"},
      {app("a/b", "/usr/bin/x"),
       "'a/b' cannot name a desktop entry: use letters, digits, '.', '_' and '-', not first a digit"},
      // Taken for a file where it names the icon.
      {app("demo.png", "/usr/bin/x"),
       "'demo.png' cannot name a desktop entry: use letters, digits, '.', '_' and '-', not first a digit"},
      // Desktops drop an entry that is not UTF-8.
      {app("demo", "/opt/\xff/x"), "the path '/opt/\xff/x' cannot be written in a desktop entry"},
      {app("demo", "/usr/bin/x", {dir.path()}), "cannot read the icon '" + dir.path() + "': it is no regular file"},
      {app("demo", "bin/x"), "the path 'bin/x' cannot be written in a desktop entry"},
      {app("demo", "/usr/bin/x", {odd}),
       "the icon '" + odd + "' is 50x50; a PNG icon must be square, of 16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, "
                            "256 or 512 pixels"},
      {app("demo", "/usr/bin/x", {wide}),
       "the icon '" + wide + "' is 64x48; a PNG icon must be square, of 16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, "
                             "256 or 512 pixels"},
      {app("demo", "/usr/bin/x", {gif}), "the icon '" + gif + "' is neither a PNG nor an SVG image"},
      {app("demo", "/usr/bin/x", {dir.path() + "/none.png"}),
       "cannot read the icon '" + dir.path() + "/none.png': No such file or directory"},
      {app("demo", "/usr/bin/x", {first, first}), "two icons are 32x32; give one icon per size"},
  };
  for (const auto& [application, message] : rows) {
    std::string error;
    EXPECT_FALSE(dskPlan(application, true, error)) << message;
    EXPECT_EQ(error, message);
  }
}

}  // namespace
