#include "foundation/XMLParser.h"

#include <pugixml.hpp>

namespace kestrum {

struct CXMLParser::Document {
  pugi::xml_document dom;
};

namespace {

void AppendText(const pugi::xml_node& node, std::string& text) {
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      text += child.value();
    } else if (child.type() == pugi::node_element) {
      AppendText(child, text);
    }
  }
}

}  // namespace

CXMLParser::CXMLParser() = default;

CXMLParser::~CXMLParser() { Unload(); }

bool CXMLParser::Load(const std::string& path) {
  if (path.empty()) return false;
  CLockGuard guard(lock_);
  if (loaded_) return false;
  try {
    auto document = std::make_unique<Document>();
    pugi::xml_parse_result result =
        document->dom.load_file(path.c_str(), pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_auto);
    if (!result) return false;
    document_ = std::move(document);
    loaded_ = true;
    path_ = path;
    return true;
  } catch (...) {
    return false;
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
