// Request bodies for the component tests.
#pragma once

#include <string>

namespace quillet::test {

/// The worked body: 176 bytes, first line --XY, a text part title = Hi and a file part
/// photo with the file C:\p\a.gif holding GIF89a.
inline const std::string kWorkedBody =
    "--XY\r\n"
    "Content-Disposition: form-data; name=\"title\"\r\n"
    "\r\n"
    "Hi\r\n"
    "--XY\r\n"
    "Content-Disposition: form-data; name=\"photo\"; filename=\"C:\\p\\a.gif\"\r\n"
    "Content-Type: image/gif\r\n"
    "\r\n"
    "GIF89a\r\n"
    "--XY--\r\n";

/// A text part after the boundary --XY.
inline std::string TextPart(const std::string& name, const std::string& value)
{
    return "--XY\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

/// A file part after the boundary --XY.
inline std::string FilePart(const std::string& name, const std::string& fileName, const std::string& content = "data")
{
    return "--XY\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}

/// The closing delimiter line.
inline const std::string kEnd = "--XY--\r\n";

}  // namespace quillet::test
