# Writes OUTPUT, a C++ source holding every file of WEB_DIR as bytes with its path,
# content type and ETag, and ChatPage(), the site they make (app/ChatPage.h). The build
# runs it again whenever a file of WEB_DIR changes:
#   cmake -DWEB_DIR=DIR -DOUTPUT=FILE -P EmbedWebFiles.cmake

cmake_minimum_required(VERSION 3.20)

file(GLOB_RECURSE names LIST_DIRECTORIES false RELATIVE ${WEB_DIR} ${WEB_DIR}/*)
list(SORT names)
if(NOT "index.html" IN_LIST names)
  message(FATAL_ERROR "${WEB_DIR} has no index.html to serve for /")
endif()

# The page's security policy lives in its meta tag; as a header it can also forbid
# framing, which a meta tag cannot.
file(READ ${WEB_DIR}/index.html index)
if(NOT index MATCHES "http-equiv=\"Content-Security-Policy\"[ \t\r\n]+content=\"([^\"]*)\"")
  message(FATAL_ERROR "${WEB_DIR}/index.html has no Content-Security-Policy meta tag "
                      "(http-equiv first, then content)")
endif()
string(REPLACE "\\" "\\\\" policy "${CMAKE_MATCH_1}; frame-ancestors 'none'")

set(arrays "")
set(entries "")
set(number 0)
foreach(name IN LISTS names)
  if(NOT name MATCHES "^[A-Za-z0-9._/-]+$")
    message(FATAL_ERROR "web/${name}: a served name holds only letters, digits and ._/-")
  endif()
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  elseif(name MATCHES "\\.png$")
    set(type "image/png")
  elseif(name MATCHES "\\.ico$")
    set(type "image/x-icon")
  else()
    message(FATAL_ERROR "web/${name}: no content type is known for its extension")
  endif()
  file(READ ${WEB_DIR}/${name} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REPEAT "0x..," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
  file(SHA256 ${WEB_DIR}/${name} digest)
  string(SUBSTRING ${digest} 0 20 etag)
  # A trailing NUL, so that an empty file is an array too; it is not served.
  string(APPEND arrays "const unsigned char file${number}[] = {\n    ${bytes}0};\n")
  string(APPEND entries
    "        {\"/${name}\", \"${type}\", Bytes(file${number}, sizeof(file${number}) - 1),\n"
    "         \"\\\"${etag}\\\"\"},\n")
  math(EXPR number "${number} + 1")
endforeach()

file(CONFIGURE OUTPUT ${OUTPUT} @ONLY CONTENT [=[
// Made by cmake/EmbedWebFiles.cmake from web/ at build time.
#include <string_view>

#include "ChatPage.h"

namespace {

std::string_view Bytes(const unsigned char* bytes, std::size_t count) {
    return std::string_view(reinterpret_cast<const char*>(bytes), count);
}

@arrays@
}  // namespace

const hNet::WebSite& ChatPage() {
    static const hNet::WebFile files[] = {
@entries@    };
    static const hNet::WebSite site{files, sizeof(files) / sizeof(files[0]), "/index.html",
                                    "@policy@"};
    return site;
}
]=])
