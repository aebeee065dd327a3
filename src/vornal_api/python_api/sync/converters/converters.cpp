// Converter packages: the converters that the sync agent's registry finds among the installed
// packages, and installing, upgrading and uninstalling the packages that provide them.
#include "vornal_api/python_api/sync/package_management.hpp"

namespace {

using namespace vornal::frame;
using namespace vornal::packages;

const package_kind converter_packages{
    .registry = "get_converters"_id,
    .read_model = "ConverterRead"_id,
    .invalid_path_error = "ConverterInvalidPackagePathError"_id,
    .install_from_index = {"ConverterInstallError"_id, "Failed to install converter '"},
    .install_from_path = {"ConverterInstallError"_id, "Failed to install converter from '"},
    .update_from_index = {"ConverterUpdateError"_id, "Failed to update converter '"},
    .update_from_path = {"ConverterUpdateError"_id, "Failed to update converter from '"},
    .uninstall = {"ConverterUninstallError"_id, "Failed to uninstall converter '"},
};

const function_spec list_converters{
    .name = "list_converters",
    .returns = "List[ConverterRead]",
    .doc = "List all available converters found in the environment.\n"
           "\n"
           "This triggers a scan of installed packages to find any that registered\n"
           "converters on the system.\n"
           "\n"
           "Returns:\n"
           "    A list of available converters.",
    .locals = "converters converter",
    .plain = [](arguments) static { return list_packages(converter_packages); },
};

// A converter package is installed from its directory as it is: there is no editable mode.
const function_spec install_converter_from_local_path{
    .name = "install_converter_from_local_path",
    .params = {package_path_parameter},
    .returns = "None",
    .doc = "Install a converter package from a local file system path.\n"
           "\n"
           "Args:\n"
           "    package_path: The path to the local package directory or .whl file.\n"
           "    \n"
           "Raises:\n"
           "    ConverterInvalidPackagePathError: If the path is not a directory or missing pyproject.toml.\n"
           "    ConverterInstallError: If the installation fails.",
    .locals = "e app_path",
    .coroutine = [](arguments a) static { return install_from_path(converter_packages, a[0], false); },
};

// The package name goes to pip as the whole requirement: there is no version of its own.
const function_spec install_converter_from_pypi{
    .name = "install_converter_from_pypi",
    .params = {package_name_parameter, index_url_parameter},
    .returns = "None",
    .doc = "Install a converter package from PyPI or a custom package index.\n"
           "\n"
           "Args:\n"
           "    package_name: The name of the package to install (e.g., 'my-converters').\n"
           "    index_url: Optional URL of a custom package index (simple API). \n"
           "                If None, uses the default PyPI index.\n"
           "\n"
           "Raises:\n"
           "    ConverterInstallError: If the installation fails.",
    .locals = "app_path cmd e",
    .coroutine = [](arguments a) static { return install_from_index(converter_packages, a[0], handle(Py_None), a[1]); },
};

const function_spec update_converter_from_pypi{
    .name = "update_converter_from_pypi",
    .params = {package_name_parameter, index_url_parameter},
    .returns = "None",
    .doc = "Update a converter package from PyPI.\n"
           "\n"
           "Args:\n"
           "    package_name: The name of the package to update.\n"
           "    index_url: Optional URL for a custom package index.\n"
           "\n"
           "Raises:\n"
           "    ConverterUpdateError: If the update fails.",
    .locals = "app_path cmd e",
    .coroutine = [](arguments a) static { return update_from_index(converter_packages, a[0], a[1]); },
};

const function_spec update_converter_from_local_path{
    .name = "update_converter_from_local_path",
    .params = {package_path_parameter},
    .returns = "None",
    .doc = "Update a converter package from a local directory.\n"
           "\n"
           "Args:\n"
           "    package_path: The filesystem path to the package directory.\n"
           "\n"
           "Raises:\n"
           "    ConverterInvalidPackagePathError: If the path is not a directory or missing pyproject.toml.\n"
           "    ConverterUpdateError: If the update fails.",
    .locals = "e app_path",
    .coroutine = [](arguments a) static { return update_from_path(converter_packages, a[0]); },
};

const function_spec uninstall_converter{
    .name = "uninstall_converter",
    .params = {package_name_parameter},
    .returns = "None",
    .doc = "Uninstall a converter package from the system.\n"
           "\n"
           "Args:\n"
           "    package_name: The name of the package to uninstall.\n"
           "\n"
           "Raises:\n"
           "    ConverterUninstallError: If the uninstallation fails.",
    .locals = "app_path e",
    .coroutine = [](arguments a) static { return uninstall(converter_packages, a[0]); },
};

void statements(module_builder& m) {
    m.import("subprocess");
    m.from("typing", {"List", "Optional"});
    m.from("vornal_api.app.exceptions.sync.converters_handler",
           {"ConverterInstallError", "ConverterInvalidPackagePathError", "ConverterUninstallError",
            "ConverterUpdateError"});
    m.from("vornal_api.app.schemas.sync.converters", {"ConverterRead"});
    m.from("vornal_api.python_api.sync.utils",
           {"format_subprocess_error", "run_pip_command", "validate_local_package_path"});
    m.from("vornal_client.settings.folders", {"get_service_runner_path"});
    m.from("vornal_sync_agent.converters.converters", {"get_converters"});

    m.def(list_converters);
    m.def(install_converter_from_local_path);
    m.def(install_converter_from_pypi);
    m.def(update_converter_from_pypi);
    m.def(update_converter_from_local_path);
    m.def(uninstall_converter);
}

const module_info converters{
    .name = "vornal_api.python_api.sync.converters",
    .short_name = "converters",
    .source = "src/vornal_api/python_api/sync/converters",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_converters() { return define_module(converters); }
