<?xml version="1.0" encoding="UTF-8"?>
<!-- Wraps a general invoice request 4.5 for the trust center's recipients.
     The patient goes out only as the person code of get-Person (names, birth
     date and gender) and a PKCS#7 block for the recipients. So does every
     other part that names or identifies the patient: the guarantor and the
     insured (most often the patient or the family), a debitor that is a
     person (the guarantor again), the employer, the law block with the
     insured and social security numbers, and the embedded documents (reports
     about the patient). What the duplicate check reads (numbers, time
     stamps, amounts, the biller, the treatment's dates) stays readable. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
                xmlns:inv="http://www.forum-datenaustausch.ch/invoice"
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
      <xsl:apply-templates select="inv:request"/>
    </korvex:datatransfer>
  </xsl:template>

  <xsl:template match="inv:patient">
    <korvex:patient person="{ccode:get-Person(string(inv:person/inv:familyname), string(inv:person/inv:givenname), string(@birthdate), string(@gender))}">
      <xsl:value-of select="ccode:Encrypt(.)"/>
    </korvex:patient>
  </xsl:template>

  <xsl:template match="inv:guarantor | inv:insured | inv:debitor[inv:person] | inv:employer |
                       inv:kvg | inv:vvg | inv:uvg | inv:ivg | inv:mvg | inv:org | inv:documents">
    <korvex:protected element="{local-name()}">
      <xsl:value-of select="ccode:Encrypt(.)"/>
    </korvex:protected>
  </xsl:template>

  <xsl:template match="@*|node()">
    <xsl:copy><xsl:apply-templates select="@*|node()"/></xsl:copy>
  </xsl:template>
</xsl:stylesheet>
