#pragma once

#include "request/Request.h"

class ConfigPageBuilder;
class ComponentRestarts;

/// The settings page's commands. They run in the worker thread; the builder is theirs alone.
namespace SettingsCommands {

/// Rebuilds the page and answers with the category list document.
RequestResult getSettingsCategoryXML(Request& request, ConfigPageBuilder& builder);
/// Rebuilds the page and answers with the item list document.
RequestResult getSettingsItemsXML(Request& request, ConfigPageBuilder& builder);
/// Writes changed values of web items into the files the page lists.
RequestResult saveSettings(Request& request, ConfigPageBuilder& builder);
/// Runs the restart rule of a listed file as a script.
RequestResult restartComponent(Request& request, ConfigPageBuilder& builder, ComponentRestarts& restarts);

}  // namespace SettingsCommands
