#pragma once

#include <pugixml.hpp>
#include <string>

#include "options.h"

// The loader's readers of the optional elements.

/// Reads <Data> of root into data (defaults when absent); the reason the
/// element cannot be used, empty when it can.
std::string readDataElement(const pugi::xml_node& root, DataOptions& data);

/// Reads <Filter> of root into filter; the reason, empty when usable.
std::string readFilterElement(const pugi::xml_node& root,
                              FilterOptions& filter);

/// Reads <Focus> of root into focus; the reason, empty when usable.
std::string readFocusElement(const pugi::xml_node& root, FocusOptions& focus);

/// Reads <Hologram dc> into mode (unchanged when absent); the reason, empty
/// when usable.
std::string readZeroOrder(const pugi::xml_node& hologram, ZeroOrderMode& mode);

/// Reads <Background> of root; modeGiven tells whether it named its mode.
std::string readBackgroundElement(const pugi::xml_node& root,
                                  BackgroundOptions& background,
                                  bool& modeGiven);

/// Reads <Compensation> of root; the reason, empty when usable.
std::string readCompensationElement(const pugi::xml_node& root,
                                    CompensationOptions& compensation);
