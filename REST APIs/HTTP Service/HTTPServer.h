// HTTPServer.h - CHTTPServer, the HTTP service's server and the home of its nested types.
//
// CHTTPServer keeps one listener per configured host. Its nested types
// (request handlers, listeners, locations, the authenticator) are declared
// here and defined in their own headers, so that each can be included without
// the rest of the server.
#pragma once

class CHTTPServer {
 public:
  class CRequestHandler;
  class CLocation;      // Location.h
  class CAuthenticator; // Authenticator.h
  class CListener;      // Listener.h
};
