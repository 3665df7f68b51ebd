#include "foundation/XMLParser.h"

#include <filesystem>
#include <pugixml.hpp>

#include "platform/System.h"

namespace kestrum {

struct CXMLParser::Document {
  pugi::xml_document dom;
};

namespace {

// Document order, descending into elements only, climbing back by parent
// links: the stack of a worker thread does not bound the nesting.
void AppendText(const pugi::xml_node& root, std::string& text) {
  pugi::xml_node node = root.first_child();
  while (node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    if (node.type() == pugi::node_element && node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != root && !node.next_sibling()) node = node.parent();
    if (node == root) break;
    node = node.next_sibling();
  }
}

}  // namespace

CXMLParser::CXMLParser() = default;

CXMLParser::~CXMLParser() { Unload(); }

bool CXMLParser::Load(const std::string& path, size_t maxBytes, LoadResult* outcome) {
  const LoadResult result = LoadFile(path, maxBytes);
  if (outcome != nullptr) *outcome = result;
  return result == LoadResult::Loaded;
}

CXMLParser::LoadResult CXMLParser::LoadFile(const std::string& path, size_t maxBytes) {
  if (path.empty()) return LoadResult::Missing;
  CLockGuard guard(lock_);
  if (loaded_) return LoadResult::Busy;
  try {
    // The size first: a huge file is refused before any of it is read.
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return LoadResult::Missing;
    if (size > maxBytes) return LoadResult::TooLarge;
    std::string contents;
    if (!platform::ReadWholeFile(path, contents, maxBytes)) return LoadResult::Missing;
    auto document = std::make_unique<Document>();
    if (!document->dom.load_buffer(contents.data(), contents.size(), pugi::parse_default | pugi::parse_ws_pcdata,
                                   pugi::encoding_auto)) {
      return LoadResult::Malformed;
    }
    document_ = std::move(document);
    loaded_ = true;
    path_ = path;
    return LoadResult::Loaded;
  } catch (...) {
    return LoadResult::Malformed;
  }
}

bool CXMLParser::NodeExists(const std::string& expression) {
  CLockGuard guard(lock_);
  if (!loaded_) return false;
  try {
    return static_cast<bool>(document_->dom.select_node(expression.c_str()));
  } catch (...) {
    return false;  // a malformed expression selects nothing
  }
}

std::string CXMLParser::GetText(const std::string& expression) {
  CLockGuard guard(lock_);
  if (!loaded_) return std::string();
  try {
    pugi::xpath_node selected = document_->dom.select_node(expression.c_str());
    std::string text;
    if (selected.attribute()) {
      text = selected.attribute().value();
    } else if (selected.node()) {
      AppendText(selected.node(), text);
    }
    return text;
  } catch (...) {
    return std::string();
  }
}

unsigned CXMLParser::FindByAttributes(const std::string& elementPath, const std::string& firstName,
                                      const std::string& firstValue, const std::string& secondName,
                                      const std::string& secondValue) {
  CLockGuard guard(lock_);
  if (!loaded_) return 0;
  try {
    pugi::xpath_node_set elements = document_->dom.select_nodes(elementPath.c_str());
    unsigned position = 0;
    for (const pugi::xpath_node& element : elements) {
      ++position;
      pugi::xml_attribute first = element.node().attribute(firstName.c_str());
      pugi::xml_attribute second = element.node().attribute(secondName.c_str());
      if (first && second && firstValue == first.value() && secondValue == second.value()) return position;
    }
  } catch (...) {
  }
  return 0;
}

void CXMLParser::Unload() {
  CLockGuard guard(lock_);
  document_.reset();
  loaded_ = false;
  path_.clear();
}

}  // namespace kestrum
