// Resource identifiers of the update dialog and its strings.
#pragma once
