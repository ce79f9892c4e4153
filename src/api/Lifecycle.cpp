#include "api/Lifecycle.h"

#include "api/CurlGlobal.h"

Http::Data::DataService* dataService = nullptr;
Http::File::FileService* fileService = nullptr;

void HttpStartup() {
    CurlGlobalStartup();
    if (dataService == nullptr) {
        dataService = new Http::Data::DataService;
        dataService->Launch();
    }
    if (fileService == nullptr) {
        fileService = new Http::File::FileService;
        fileService->Launch();
    }
}

void HttpCleanup() {
    if (Http::Data::DataService* service = dataService) {
        service->Shutdown();
        dataService = nullptr;
        // From inside this service's own callback, its destruction completes
        // when that callback's Dispatch returns.
        Http::Base::AsyncServiceBase::Retire(service);
    }
    if (Http::File::FileService* service = fileService) {
        service->StopAll();
        fileService = nullptr;
        Http::Base::AsyncServiceBase::Retire(service);
    }
    CurlGlobalCleanup();
}
