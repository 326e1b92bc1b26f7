// Resource identifiers of the themed message box.
#pragma once
