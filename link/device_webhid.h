// What the browser's front end needs of the WebHID backend beyond the device seam: a device path
// is "webhid:N", N naming one device object of link/device_webhid.js for the page's life.
#pragma once

// True when `path` is the path of the device that link/device_webhid.js numbers `id`.
bool webHidPathNames(const char16_t* path, int id);
