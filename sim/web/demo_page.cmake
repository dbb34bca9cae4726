# Copies the published page from SITE into DEMO and makes the demo's index.html load the
# WebHID double and the demo's set-up before the page's own script. Run with cmake -P.
file(GLOB published "${SITE}/*")
file(COPY ${published} DESTINATION "${DEMO}")
file(READ "${SITE}/index.html" page)
set(pageScript "<script src=\"page.js\" defer></script>")
string(FIND "${page}" "${pageScript}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${SITE}/index.html: no ${pageScript}")
endif()
string(REPLACE "${pageScript}"
  "<script src=\"hid_double.js\"></script>\n  <script src=\"demo.js\"></script>\n  ${pageScript}"
  page "${page}")
file(WRITE "${DEMO}/index.html" "${page}")
