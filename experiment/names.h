#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "experiment.h"
#include "options.h"

// The one home of the texts that name the values of the experiment file's
// enumerations: what the loader accepts, what the console, the TIFF records
// and the messages print, and the list of valid values an error gives.

/// Each enumeration's values and their texts, in the order messages list
/// them.
template <typename Enum>
struct EnumNames;

template <>
struct EnumNames<ExperimentType> {
  static constexpr std::pair<ExperimentType, const char*> kTable[] = {
      {ExperimentType::Reconstruction, "Reconstruction"},
      {ExperimentType::DHI, "DHI"}};
};

template <>
struct EnumNames<ReconstructionMethod> {
  static constexpr std::pair<ReconstructionMethod, const char*> kTable[] = {
      {ReconstructionMethod::Fresnel, "Fresnel"},
      {ReconstructionMethod::Convolution, "Convolution"},
      {ReconstructionMethod::AngularSpectrum, "AngularSpectrum"}};
};

template <>
struct EnumNames<ClipType> {
  static constexpr std::pair<ClipType, const char*> kTable[] = {
      {ClipType::Left, "Left"},
      {ClipType::Center, "Center"},
      {ClipType::Right, "Right"}};
};

template <>
struct EnumNames<FocusMetric> {
  static constexpr std::pair<FocusMetric, const char*> kTable[] = {
      {FocusMetric::NormalizedVariance, "NormalizedVariance"},
      {FocusMetric::TenenbaumGradient, "TenenbaumGradient"},
      {FocusMetric::TamuraGradient, "TamuraGradient"},
      {FocusMetric::IntegratedAmplitude, "IntegratedAmplitude"},
      {FocusMetric::IntegratedAmplitudeMax, "IntegratedAmplitudeMax"}};
};

template <>
struct EnumNames<ZeroOrderMode> {
  static constexpr std::pair<ZeroOrderMode, const char*> kTable[] = {
      {ZeroOrderMode::LocalMean, "LocalMean"},
      {ZeroOrderMode::Mean, "Mean"},
      {ZeroOrderMode::None, "None"}};
};

template <>
struct EnumNames<BackgroundMode> {
  static constexpr std::pair<BackgroundMode, const char*> kTable[] = {
      {BackgroundMode::Divide, "Divide"},
      {BackgroundMode::Subtract, "Subtract"},
      {BackgroundMode::Field, "Field"}};
};

/// The text of value ("AngularSpectrum"); empty for a value outside the
/// table.
template <typename Enum>
const char* nameOf(Enum value) {
  for (const auto& [candidate, name] : EnumNames<Enum>::kTable) {
    if (candidate == value) return name;
  }
  return "";
}

/// The value whose text is exactly text; nothing for any other text.
template <typename Enum>
std::optional<Enum> valueNamed(std::string_view text) {
  for (const auto& [candidate, name] : EnumNames<Enum>::kTable) {
    if (text == name) return candidate;
  }
  return std::nullopt;
}

/// Every text of the enumeration for a message: "Left, Center or Right".
template <typename Enum>
std::string validNames() {
  std::string list;
  const auto& table = EnumNames<Enum>::kTable;
  const std::size_t count = std::size(table);
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) list += i + 1 == count ? " or " : ", ";
    list += table[i].second;
  }
  return list;
}
