// HandlerFactory.h - the process-wide map from handler file type to handler factory.
//
// A handler file's type (the text after its last ".") picks a factory that
// some module registered from its static initialisation ("SQL", "SEARCH").
// A type nobody registered makes the file a static file. Names compare
// without regard to case, and the first registration of a name stays.
#pragma once

#include "REST APIs/HTTP Service/RequestHandler.h"
#include "platform/base/text.h"

#include <map>
#include <memory>
#include <string>
#include <utility>

// Makes the handler for one handler file: (root directory, handler file path).
using RequestHandlerFactory = std::shared_ptr<CHTTPServer::CRequestHandler> (*)(std::wstring root, std::wstring path);
using RequestHandlerFactoryMap = std::map<std::wstring, RequestHandlerFactory, platform::LessNoCase>;

// Adds (type, factory) unless the type is already registered in any letter
// case. Call only during static initialisation: the map is read without a
// lock once requests run.
std::pair<RequestHandlerFactoryMap::iterator, bool> RegisterRequestHandlerFactory(const wchar_t* type,
                                                                                  RequestHandlerFactory factory);

// The handler the factory of type makes for (root, path), or an empty pointer
// when type is not registered (null reads as the empty type).
std::shared_ptr<CHTTPServer::CRequestHandler>& CreateRequestHandler(std::shared_ptr<CHTTPServer::CRequestHandler>& handler,
                                                                    const wchar_t* type, std::wstring root,
                                                                    std::wstring path);
