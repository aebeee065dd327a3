// Connector packages: the connectors that the sync agent's registry finds among the installed
// packages, and installing, upgrading and uninstalling the packages that provide them.
#include "vornal_api/python_api/sync/package_management.hpp"

namespace {

using namespace vornal::frame;
using namespace vornal::packages;

const package_kind connector_packages{
    .registry = "get_sync_connectors"_id,
    .read_model = "ConnectorRead"_id,
    .invalid_path_error = "ConnectorInvalidPackagePathError"_id,
    .install_from_index = {"ConnectorInstallError"_id, "Failed to install connector '"},
    .install_from_path = {"ConnectorInstallError"_id, "Failed to install connector from '"},
    .update_from_index = {"ConnectorUpdateError"_id, "Failed to update connector '"},
    .update_from_path = {"ConnectorUpdateError"_id, "Failed to update connector from '"},
    .uninstall = {"ConnectorUninstallError"_id, "Failed to uninstall connector '"},
};

const function_spec list_connectors{
    .name = "list_connectors",
    .returns = "List[ConnectorRead]",
    .doc = "List all available connectors found in the environment.\n"
           "\n"
           "Returns:\n"
           "    A list of available connectors and their details.",
    .locals = "connectors connector",
    .plain = [](arguments) static { return list_packages(connector_packages); },
};

const function_spec install_connector_from_pypi{
    .name = "install_connector_from_pypi",
    .params = {package_name_parameter, exact_str("version", "Optional[str]").or_none().defaults_to(nullptr),
               index_url_parameter},
    .returns = "None",
    .doc = "Install a connector package from PyPI.\n"
           "\n"
           "Args:\n"
           "    package_name: The name of the package to install.\n"
           "    version: Optional version specifier (e.g., \"1.2.3\" or \">=1.0,<2.0\").\n"
           "    index_url: Optional URL for a custom package index.\n"
           "\n"
           "Raises:\n"
           "    ConnectorInstallError: If the installation fails.",
    .locals = "app_path package_spec cmd e",
    .coroutine = [](arguments a) static { return install_from_index(connector_packages, a[0], a[1], a[2]); },
};

const function_spec install_connector_from_local_path{
    .name = "install_connector_from_local_path",
    .params = {package_path_parameter, truth("editable", "bool").defaults_to(false)},
    .returns = "None",
    .doc = "Install a connector package from a local directory.\n"
           "\n"
           "Args:\n"
           "    package_path: The filesystem path to the package directory.\n"
           "    editable: If True, install in editable/development mode (-e flag).\n"
           "        This is useful when working with a git repository, as changes\n"
           "        to the source code are immediately reflected without reinstalling.\n"
           "\n"
           "Raises:\n"
           "    ConnectorInvalidPackagePathError: If the path is not a directory or missing pyproject.toml.\n"
           "    ConnectorInstallError: If the installation fails.",
    .locals = "e app_path cmd",
    .coroutine = [](arguments a) static {
        bool editable = a[1].is(Py_True);
        return install_from_path(connector_packages, a[0], editable);
    },
};

const function_spec update_connector_from_pypi{
    .name = "update_connector_from_pypi",
    .params = {package_name_parameter, index_url_parameter},
    .returns = "None",
    .doc = "Update a connector package from PyPI.\n"
           "\n"
           "Args:\n"
           "    package_name: The name of the package to update.\n"
           "    index_url: Optional URL for a custom package index.\n"
           "\n"
           "Raises:\n"
           "    ConnectorUpdateError: If the update fails.",
    .locals = "app_path cmd e",
    .coroutine = [](arguments a) static { return update_from_index(connector_packages, a[0], a[1]); },
};

const function_spec update_connector_from_local_path{
    .name = "update_connector_from_local_path",
    .params = {package_path_parameter},
    .returns = "None",
    .doc = "Update a connector package from a local directory.\n"
           "\n"
           "Args:\n"
           "    package_path: The filesystem path to the package directory.\n"
           "\n"
           "Raises:\n"
           "    ConnectorInvalidPackagePathError: If the path is not a directory or missing pyproject.toml.\n"
           "    ConnectorUpdateError: If the update fails.",
    .locals = "e app_path",
    .coroutine = [](arguments a) static { return update_from_path(connector_packages, a[0]); },
};

const function_spec uninstall_connector{
    .name = "uninstall_connector",
    .params = {package_name_parameter},
    .returns = "None",
    .doc = "Uninstall a connector package.\n"
           "\n"
           "Args:\n"
           "    package_name: The name of the package to uninstall.\n"
           "\n"
           "Raises:\n"
           "    ConnectorUninstallError: If the uninstallation fails.",
    .locals = "app_path e",
    .coroutine = [](arguments a) static { return uninstall(connector_packages, a[0]); },
};

void statements(module_builder& m) {
    m.import("subprocess");
    m.from("typing", {"List", "Optional"});
    m.from("vornal_api.app.exceptions.sync.connectors_handler",
           {"ConnectorInstallError", "ConnectorInvalidPackagePathError", "ConnectorUninstallError",
            "ConnectorUpdateError"});
    m.from("vornal_api.app.schemas.sync.connectors", {"ConnectorRead"});
    m.from("vornal_api.python_api.sync.utils",
           {"format_subprocess_error", "run_pip_command", "validate_local_package_path"});
    m.from("vornal_client.settings.folders", {"get_service_runner_path"});
    m.from("vornal_sync_agent.connectors.connectors", {"get_sync_connectors"});

    m.def(list_connectors);
    m.def(install_connector_from_pypi);
    m.def(install_connector_from_local_path);
    m.def(update_connector_from_pypi);
    m.def(update_connector_from_local_path);
    m.def(uninstall_connector);
}

const module_info connectors{
    .name = "vornal_api.python_api.sync.connectors",
    .short_name = "connectors",
    .source = "src/vornal_api/python_api/sync/connectors",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_connectors() { return define_module(connectors); }
