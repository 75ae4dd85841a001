# Stand-in for package.mk: every BuildPackage is recorded, and its install
# step becomes the target install-<package> (into $(STANDIN_OUT)/root-<package>).
PKG_FIELDS:=SECTION CATEGORY TITLE DEPENDS URL

define BuildPackage
$(foreach field,$(PKG_FIELDS),$(eval $(field):=))
$(eval $(Package/$(1)))
PACKAGES+=$(1)
$(foreach field,$(PKG_FIELDS),$(eval PACKAGE_$(1)_$(field):=$($(field))))
PACKAGE_$(1)_conffiles:=$(strip $(Package/$(1)/conffiles))
install-$(1):
	rm -rf $(STANDIN_OUT)/root-$(1)
$(call Package/$(1)/install,$(STANDIN_OUT)/root-$(1))
endef

# What the Makefile declared, one "key=value" per line.
declared:
	@printf '%s\n' 'PACKAGES=$(PACKAGES)' 'PKG_NAME=$(PKG_NAME)' 'PKG_VERSION=$(PKG_VERSION)' \
		'PKG_RELEASE=$(PKG_RELEASE)' 'PKG_LICENSE=$(PKG_LICENSE)' 'PKG_LICENSE_FILES=$(PKG_LICENSE_FILES)' \
		'PKG_MAINTAINER=$(PKG_MAINTAINER)' 'PKG_BUILD_DEPENDS=$(PKG_BUILD_DEPENDS)' \
		'PKG_INSTALL=$(PKG_INSTALL)' 'PKG_SOURCE_PROTO=$(PKG_SOURCE_PROTO)' 'PKG_SOURCE_URL=$(PKG_SOURCE_URL)' \
		'PKG_SOURCE_VERSION=$(PKG_SOURCE_VERSION)' 'PKG_SOURCE_DATE=$(PKG_SOURCE_DATE)' \
		'PKG_MIRROR_HASH=$(PKG_MIRROR_HASH)' 'GIMBALHUB_SOURCE_DIR=$(GIMBALHUB_SOURCE_DIR)' \
		'CMAKE_OPTIONS=$(strip $(CMAKE_OPTIONS))'
	@$(foreach p,$(PACKAGES),printf '%s\n' $(foreach f,$(PKG_FIELDS) conffiles,'$(p).$(f)=$(strip $(PACKAGE_$(p)_$(f)))');)

prepare:
	rm -rf $(PKG_BUILD_DIR)
	$(Build/Prepare)
