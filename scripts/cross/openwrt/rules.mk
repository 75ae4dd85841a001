# Stand-in for an OpenWrt tree's rules.mk, with package.mk and cmake.mk beside
# it: enough to evaluate a package Makefile on a PC and record what it
# declares (see scripts/cross/openwrt-package.sh). Not a build system.
INCLUDE_DIR:=$(TOPDIR)
PKG_BUILD_DIR?=$(STANDIN_OUT)/build
PKG_INSTALL_DIR?=$(STANDIN_OUT)/ipkg-install
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
INSTALL_CONF:=install -m0600
CP:=cp -fpR
