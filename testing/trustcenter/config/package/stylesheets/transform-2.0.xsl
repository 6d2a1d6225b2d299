<?xml version="1.0" encoding="UTF-8"?>
<!-- Wraps a fixture invoice 2.0 for the trust center's recipient. The patient
     block is the part that is protected: the template "protect-patient" is the
     one place where it is anonymised and encrypted. The patient is named
     only by the person code of get-Person (names, birth date and sex), and the
     element itself goes out only as a PKCS#7 block for the recipients. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
                xmlns:inv="urn:belmor:fixture:invoice:2.0"
                xmlns:korvex="urn:korvex:datatransfer"
                xmlns:ccode="urn:korvex.CCode"
                extension-element-prefixes="ccode"
                exclude-result-prefixes="inv">
  <xsl:output method="xml" encoding="UTF-8" indent="no"/>
  <xsl:param name="rcpt"/>
  <xsl:param name="libVersion"/>
  <xsl:param name="machineID"/>
  <xsl:param name="filename"/>
  <xsl:param name="ruleName"/>

  <xsl:template match="/">
    <korvex:datatransfer rcpt="{$rcpt}" libVersion="{$libVersion}" machineID="{$machineID}"
                         filename="{$filename}" rule="{$ruleName}">
      <xsl:apply-templates select="inv:invoice"/>
    </korvex:datatransfer>
  </xsl:template>

  <xsl:template match="inv:patient">
    <xsl:call-template name="protect-patient"/>
  </xsl:template>

  <xsl:template name="protect-patient">
    <korvex:patient person="{ccode:get-Person(string(inv:familyname), string(inv:givenname), string(@birthdate), string(@sex))}">
      <xsl:value-of select="ccode:Encrypt(.)"/>
    </korvex:patient>
  </xsl:template>

  <xsl:template match="@*|node()">
    <xsl:copy><xsl:apply-templates select="@*|node()"/></xsl:copy>
  </xsl:template>
</xsl:stylesheet>
