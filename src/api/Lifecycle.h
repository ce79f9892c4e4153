#pragma once

#include "Http/Data/DataService.h"
#include "Http/File/FileService.h"

// The two services; null while the library is not started. Written only by
// start-up and clean-up, which the host never overlaps with other calls.
extern Http::Data::DataService* dataService;
extern Http::File::FileService* fileService;

void HttpStartup();
void HttpCleanup();
