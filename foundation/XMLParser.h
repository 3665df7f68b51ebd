// A small thread-safe wrapper of an XML document: load a file, test whether a
// path selects a node, read a node's text.
#pragma once

#include <memory>
#include <string>

#include "foundation/RecursiveLock.h"

namespace kestrum {

class CXMLParser {
 public:
  CXMLParser();
  virtual ~CXMLParser();
  CXMLParser(const CXMLParser&) = delete;
  CXMLParser& operator=(const CXMLParser&) = delete;

  static constexpr size_t kMaxFileBytes = 1u << 20;

  enum class LoadResult { Loaded, Missing, TooLarge, Malformed, Busy };
  // Fails for an empty path, a missing file, a file over maxBytes (not
  // read at all), malformed XML, or when a document is already loaded.
  // White space in text is kept.
  bool Load(const std::string& path, size_t maxBytes = kMaxFileBytes, LoadResult* result = nullptr);
  // Path expressions: child steps from the document, with attribute-equality
  // predicates and positions, e.g. "Configuration/Device[2]/RTPMode".
  bool NodeExists(const std::string& expression);
  // The concatenated text of the node and its descendants, gathered without
  // recursion (a file may nest as deep as it likes); empty when nothing is
  // selected or nothing is loaded.
  std::string GetText(const std::string& expression);
  // 1-based position of the first element at elementPath whose attributes
  // have exactly the given values, or 0. The values are compared, never
  // parsed as part of an expression.
  unsigned FindByAttributes(const std::string& elementPath, const std::string& firstName,
                            const std::string& firstValue, const std::string& secondName,
                            const std::string& secondValue);
  void Unload();

 private:
  struct Document;
  LoadResult LoadFile(const std::string& path, size_t maxBytes);

  CRecursiveLock lock_;
  std::unique_ptr<Document> document_;
  bool loaded_ = false;
  std::string path_;
};

}  // namespace kestrum
